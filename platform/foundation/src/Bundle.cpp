#include "foundation/Bundle.hpp"

#include "foundation/FileReading.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace foundation {

namespace fs = std::filesystem;

// ---- JSON ----

namespace {

class JSONReader {
public:
    explicit JSONReader(std::string_view text) : text_(text) {}

    std::optional<InfoValue> document(std::string* error) {
        InfoValue value;
        skipSpace();
        if (!parseValue(value, 0)) return fail(error);
        skipSpace();
        if (pos_ != text_.size()) {
            expected_ = "end of input";
            return fail(error);
        }
        return value;
    }

private:
    static constexpr int kMaxDepth = 64;

    std::optional<InfoValue> fail(std::string* error) const {
        if (error) {
            std::size_t line = 1, column = 1;
            for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) {
                if (text_[i] == '\n') {
                    ++line;
                    column = 1;
                } else {
                    ++column;
                }
            }
            *error = "line " + std::to_string(line) + " column " + std::to_string(column) +
                     ": expected " + expected_;
        }
        return std::nullopt;
    }

    void skipSpace() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }

    bool consume(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    bool parseValue(InfoValue& out, int depth) {
        expected_ = "a value";
        if (depth > kMaxDepth || pos_ >= text_.size()) return false;
        const char c = text_[pos_];
        if (c == '{') return parseObject(out, depth);
        if (c == '[') return parseArray(out, depth);
        if (c == '"') {
            out.kind = InfoValue::Kind::String;
            return parseString(out.string);
        }
        if (literal("true")) {
            out.kind = InfoValue::Kind::Boolean;
            out.boolean = true;
            return true;
        }
        if (literal("false")) {
            out.kind = InfoValue::Kind::Boolean;
            return true;
        }
        if (literal("null")) {
            out.kind = InfoValue::Kind::Null;
            return true;
        }
        return parseNumber(out);
    }

    bool parseObject(InfoValue& out, int depth) {
        out.kind = InfoValue::Kind::Object;
        ++pos_;
        skipSpace();
        if (consume('}')) return true;
        for (;;) {
            skipSpace();
            std::string key;
            expected_ = "a string key";
            if (pos_ >= text_.size() || text_[pos_] != '"' || !parseString(key)) return false;
            skipSpace();
            expected_ = "':'";
            if (!consume(':')) return false;
            skipSpace();
            InfoValue value;
            if (!parseValue(value, depth + 1)) return false;
            out.object.emplace_back(std::move(key), std::move(value));
            skipSpace();
            if (consume('}')) return true;
            expected_ = "',' or '}'";
            if (!consume(',')) return false;
        }
    }

    bool parseArray(InfoValue& out, int depth) {
        out.kind = InfoValue::Kind::Array;
        ++pos_;
        skipSpace();
        if (consume(']')) return true;
        for (;;) {
            skipSpace();
            InfoValue value;
            if (!parseValue(value, depth + 1)) return false;
            out.array.push_back(std::move(value));
            skipSpace();
            if (consume(']')) return true;
            expected_ = "',' or ']'";
            if (!consume(',')) return false;
        }
    }

    bool hex4(std::uint32_t& code) {
        if (pos_ + 4 > text_.size()) return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[pos_++];
            code <<= 4;
            if (h >= '0' && h <= '9') code |= static_cast<std::uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f') code |= static_cast<std::uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') code |= static_cast<std::uint32_t>(h - 'A' + 10);
            else return false;
        }
        return true;
    }

    static void appendUTF8(std::string& s, std::uint32_t cp) {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool parseString(std::string& out) {
        ++pos_;  // opening quote
        expected_ = "a closing '\"'";
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) {
                expected_ = "no control character in a string";
                --pos_;
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            expected_ = "a valid escape";
            if (pos_ >= text_.size()) return false;
            const char e = text_[pos_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xD800 && cp < 0xDC00) {
                        std::uint32_t low = 0;
                        if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low >= 0xE000) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xDC00 && cp < 0xE000) {
                        return false;
                    }
                    appendUTF8(out, cp);
                    break;
                }
                default: return false;
            }
            expected_ = "a closing '\"'";
        }
        return false;
    }

    bool parseNumber(InfoValue& out) {
        const std::size_t start = pos_;
        auto digits = [&] {
            const std::size_t from = pos_;
            while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
            return pos_ > from;
        };
        consume('-');
        if (pos_ < text_.size() && text_[pos_] == '0') {
            ++pos_;
        } else if (!digits()) {
            pos_ = start;
            return false;
        }
        if (consume('.') && !digits()) return false;
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (!consume('+')) consume('-');
            if (!digits()) return false;
        }
        out.kind = InfoValue::Kind::Number;
        out.number = std::strtod(std::string(text_.substr(start, pos_ - start)).c_str(), nullptr);
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string expected_ = "a value";
};

bool isRegularFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

}  // namespace

const InfoValue* InfoValue::member(std::string_view key) const noexcept {
    if (kind != Kind::Object) return nullptr;
    for (const auto& [name, value] : object)
        if (name == key) return &value;
    return nullptr;
}

std::optional<InfoValue> parseJSON(std::string_view text, std::string* error) {
    return JSONReader(text).document(error);
}

// ---- Bundle ----

fs::path executablePath() {
    std::error_code ec;
    auto path = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : path;
}

bool Bundle::isBundleFolder(const fs::path& folder) { return isRegularFile(folder / "Info.json"); }

Bundle::Bundle(fs::path bundlePath) : path_(std::move(bundlePath)) {
    const auto info = infoPath();
    if (!isRegularFile(info)) return;
    std::string error;
    // Read without waiting, even if the file was replaced by a FIFO since.
    const auto contents = readRegularFile(info, kMaximumInfoFileBytes, &error);
    if (!contents) {
        infoError_ = info.string() + ": " + error;
        return;
    }
    const auto document = parseJSON(*contents, &error);
    if (!document) {
        infoError_ = info.string() + ": " + error;
        return;
    }
    if (document->kind != InfoValue::Kind::Object) {
        infoError_ = info.string() + ": expected an object at the top level";
        return;
    }
    for (const auto& [key, value] : document->object) info_.insert_or_assign(key, value);
}

Bundle Bundle::main() {
    if (const char* overridePath = std::getenv("DUNMARROW_MAIN_BUNDLE");
        overridePath != nullptr && *overridePath != '\0')
        return Bundle(fs::path(overridePath));
    return Bundle(executablePath().parent_path());
}

std::optional<Bundle> Bundle::forAddress(const void* address) {
    Dl_info info{};
    if (address == nullptr || ::dladdr(address, &info) == 0) return std::nullopt;
    fs::path module;
    if (info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
        std::error_code ec;
        module = fs::canonical(info.dli_fname, ec);
        if (ec) module.clear();
    }
    // The executable's own entry may carry no usable name (an empty one, or the
    // name it was started with, relative to a directory since left).
    if (module.empty()) module = executablePath();
    if (module.empty()) return std::nullopt;
    const auto folder = module.parent_path();
    if (isBundleFolder(folder)) return Bundle(folder);
    if (isBundleFolder(folder.parent_path())) return Bundle(folder.parent_path());
    return Bundle(folder);
}

std::optional<fs::path> Bundle::urlForResource(std::string_view name,
                                               std::string_view extension) const {
    if (name.empty()) return std::nullopt;
    std::string fileName(name);
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    if (!extension.empty()) {
        fileName += '.';
        fileName += extension;
    }
    for (const auto& candidate : {resourcePath() / fileName, path_ / fileName})
        if (isRegularFile(candidate)) return candidate;
    return std::nullopt;
}

const InfoValue* Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    const auto it = info_.find(key);
    return it == info_.end() ? nullptr : &it->second;
}

std::optional<std::string> Bundle::stringForInfoDictionaryKey(std::string_view key) const {
    const auto* value = objectForInfoDictionaryKey(key);
    if (value == nullptr || !value->isString()) return std::nullopt;
    return value->string;
}

}  // namespace foundation
