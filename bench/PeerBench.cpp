// The effect's LV2 plugin beside other LV2 distortion and amplifier plugins
// installed on this machine, in one small in-memory host: every plugin renders
// the same guitar-like signal at 48 kHz in 256-frame blocks (stereo where the
// plugin is stereo), the plugins take turns over several rounds, and each one's
// median CPU time per frame and channel is printed with its ratio to the effect
// at its defaults. Plugins that are not installed are named and left out.
//
// Usage: dunmarrow_peers [--rounds N] [--seconds S]
//   N rounds (default 15), each rendering S seconds of audio (default 2) per plugin.
// LV2_PATH: the build's dunmarrow.lv2 folder is put first; then the value of
// LV2_PATH when set, else /usr/lib/lv2.

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

constexpr double kSampleRate = 48000.0;
constexpr std::uint32_t kBlock = 256;
constexpr std::size_t kAtomCapacity = 8192;

struct Subject {
    const char* label;
    const char* uri;
    std::map<std::string, float> controls;  // by port symbol; the rest keep their defaults
    bool isDunmarrow = false;
};

// The effect at its defaults and with every stage on (the kernel bench's
// every-stage setting), then the peers at high-gain settings.
std::vector<Subject> subjects() {
    return {
        {"Dunmarrow defaults", "urn:dunmarrow:stereo", {}, true},
        {"Dunmarrow every stage",
         "urn:dunmarrow:stereo",
         {{"drive", 90},
          {"tight", 60},
          {"bite", 70},
          {"cab", 80},
          {"gain", 0.9f},
          {"body", 70},
          {"crush", 100},
          {"density", 100},
          {"grind", 100},
          {"touch", 100},
          {"decimation", 0.6f},
          {"doubleTrack", 1},
          {"stereoSpread", 1},
          {"liveSafe", 1}},
         true},
        {"Calf Saturator", "http://calf.sourceforge.net/plugins/Saturator", {{"drive", 10}}},
        {"GxRat", "http://guitarix.sourceforge.net/plugins/gx_aclipper_#_aclipper_", {{"DRIVE", 1}}},
        {"GxAmplifier-X",
         "http://guitarix.sourceforge.net/plugins/gx_amp#GUITARIX",
         {{"PreGain", 10}, {"Distortion", 100}, {"Drive", 1}}},
        {"GxMetalAmp", "http://guitarix.sourceforge.net/plugins/gxmetal_amp#metal_amp", {{"DRIVE", 20}, {"PREGAIN", 10}}},
        {"ZamTube", "urn:zamaudio:ZamTube", {{"tubedrive", 11}}},
    };
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Plucked notes: a decaying tone with a little noise, a new note every quarter
// second, the second channel a cent or so apart. One second, played in a loop.
std::vector<std::vector<float>> makeSignal() {
    const auto length = static_cast<std::size_t>(kSampleRate);
    std::vector<std::vector<float>> signal(2, std::vector<float>(length));
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
    const double notes[] = {82.4, 110.0, 146.8, 98.0};
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t n = 0; n < length; ++n) {
            const std::size_t note = n / 12000;
            const double t = static_cast<double>(n % 12000) / kSampleRate;
            const double f = notes[note % 4] * (1.0 + 0.0007 * static_cast<double>(c));
            const double tone = std::sin(2 * M_PI * f * t) + 0.3 * std::sin(4 * M_PI * f * t);
            signal[c][n] = static_cast<float>(0.5 * std::exp(-t * 8) * tone) + noise(rng);
        }
    }
    return signal;
}

// urid:map and unmap over a table; used before and between runs only.
struct UridTable {
    std::vector<std::string> uris;
    LV2_URID map(const char* uri) {
        for (std::size_t i = 0; i < uris.size(); ++i)
            if (uris[i] == uri) return static_cast<LV2_URID>(i + 1);
        uris.emplace_back(uri);
        return static_cast<LV2_URID>(uris.size());
    }
    static LV2_URID mapCallback(LV2_URID_Map_Handle handle, const char* uri) {
        return static_cast<UridTable*>(handle)->map(uri);
    }
    static const char* unmapCallback(LV2_URID_Unmap_Handle handle, LV2_URID urid) {
        auto* table = static_cast<UridTable*>(handle);
        return urid >= 1 && urid <= table->uris.size() ? table->uris[urid - 1].c_str() : nullptr;
    }
};

// One loaded plugin with its buffers. Work a plugin schedules is done at once
// on the calling thread and its responses handed back after the run, as a host
// rendering offline does.
class LoadedPlugin {
public:
    LoadedPlugin(LilvWorld* world, const LilvPlugin* plugin, const Subject& subject, const LV2_Feature* const* features,
                 UridTable& urids)
        : subject_(subject) {
        instance_ = lilv_plugin_instantiate(plugin, kSampleRate, features);
        if (instance_ == nullptr) return;
        const auto* workerData = lilv_instance_get_extension_data(instance_, LV2_WORKER__interface);
        worker_ = static_cast<const LV2_Worker_Interface*>(workerData);

        LilvNode* audio = lilv_new_uri(world, LV2_CORE__AudioPort);
        LilvNode* control = lilv_new_uri(world, LV2_CORE__ControlPort);
        LilvNode* input = lilv_new_uri(world, LV2_CORE__InputPort);
        LilvNode* atom = lilv_new_uri(world, LV2_ATOM__AtomPort);
        const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
        std::vector<float> defaults(ports, 0.0f);
        lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
        controls_.resize(ports, 0.0f);
        atoms_.resize(ports);
        sequenceType_ = urids.map(LV2_ATOM__Sequence);
        chunkType_ = urids.map(LV2_ATOM__Chunk);
        for (std::uint32_t p = 0; p < ports; ++p) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
            const bool isInput = lilv_port_is_a(plugin, port, input);
            const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
            if (lilv_port_is_a(plugin, port, audio)) {
                auto& list = isInput ? audioIn_ : audioOut_;
                list.push_back(p);
            } else if (lilv_port_is_a(plugin, port, control)) {
                controls_[p] = std::isnan(defaults[p]) ? 0.0f : defaults[p];
                const auto wanted = subject.controls.find(symbol);
                if (isInput && wanted != subject.controls.end()) {
                    controls_[p] = wanted->second;
                    ++controlsSet_;
                }
                lilv_instance_connect_port(instance_, p, &controls_[p]);
            } else if (lilv_port_is_a(plugin, port, atom)) {
                atoms_[p].resize(kAtomCapacity / sizeof(std::uint64_t));
                lilv_instance_connect_port(instance_, p, atoms_[p].data());
                (isInput ? atomIn_ : atomOut_).push_back(p);
            } else {
                // CV and other kinds: a buffer of a block, never read here.
                atoms_[p].resize(kBlock);
                lilv_instance_connect_port(instance_, p, atoms_[p].data());
            }
        }
        lilv_node_free(audio);
        lilv_node_free(control);
        lilv_node_free(input);
        lilv_node_free(atom);
        in_.assign(audioIn_.size(), std::vector<float>(kBlock));
        out_.assign(audioOut_.size(), std::vector<float>(kBlock));
        for (std::size_t i = 0; i < audioIn_.size(); ++i) lilv_instance_connect_port(instance_, audioIn_[i], in_[i].data());
        for (std::size_t i = 0; i < audioOut_.size(); ++i)
            lilv_instance_connect_port(instance_, audioOut_[i], out_[i].data());
        lilv_instance_activate(instance_);
    }
    ~LoadedPlugin() {
        if (instance_ != nullptr) {
            lilv_instance_deactivate(instance_);
            lilv_instance_free(instance_);
        }
    }
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    [[nodiscard]] bool loaded() const { return instance_ != nullptr; }
    [[nodiscard]] std::size_t channels() const { return std::max<std::size_t>(1, std::min(in_.size(), out_.size())); }
    [[nodiscard]] std::size_t controlsSet() const { return controlsSet_; }
    [[nodiscard]] const Subject& subject() const { return subject_; }
    [[nodiscard]] double outputRms() const {
        return frames_ > 0 ? std::sqrt(sumSquares_ / (static_cast<double>(frames_) * static_cast<double>(out_.size())))
                           : 0.0;
    }

    // Renders `blocks` blocks from `position` of the signal (looped); returns the CPU seconds the runs took.
    double render(const std::vector<std::vector<float>>& signal, std::size_t& position, std::size_t blocks) {
        const std::size_t length = signal[0].size();
        double seconds = 0.0;
        for (std::size_t b = 0; b < blocks; ++b) {
            for (std::size_t c = 0; c < in_.size(); ++c)
                std::copy_n(signal[c % signal.size()].data() + position, kBlock, in_[c].data());
            prepareAtoms();
            const double started = threadCpuSeconds();
            lilv_instance_run(instance_, kBlock);
            deliverResponses();
            seconds += threadCpuSeconds() - started;
            for (const auto& channel : out_)
                for (float v : channel) sumSquares_ += static_cast<double>(v) * v;
            frames_ += kBlock;
            position += kBlock;
            if (position + kBlock > length) position = 0;
        }
        return seconds;
    }

    static LV2_Worker_Status scheduleCallback(LV2_Worker_Schedule_Handle handle, std::uint32_t size, const void* data) {
        auto* self = static_cast<LoadedPlugin*>(handle);
        if (self->worker_ == nullptr || self->worker_->work == nullptr) return LV2_WORKER_ERR_UNKNOWN;
        return self->worker_->work(lilv_instance_get_handle(self->instance_), &LoadedPlugin::respondCallback, self, size,
                                   data);
    }

private:
    static LV2_Worker_Status respondCallback(LV2_Worker_Respond_Handle handle, std::uint32_t size, const void* data) {
        auto* self = static_cast<LoadedPlugin*>(handle);
        const auto* bytes = static_cast<const unsigned char*>(data);
        self->responses_.emplace_back(bytes, bytes + size);
        return LV2_WORKER_SUCCESS;
    }
    void prepareAtoms() {
        for (std::uint32_t p : atomIn_) {
            auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(atoms_[p].data());
            sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
            sequence->atom.type = sequenceType_;
            sequence->body.unit = 0;
            sequence->body.pad = 0;
        }
        for (std::uint32_t p : atomOut_) {
            auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(atoms_[p].data());
            sequence->atom.size = kAtomCapacity - sizeof(LV2_Atom);
            sequence->atom.type = chunkType_;
        }
    }
    void deliverResponses() {
        if (worker_ == nullptr) return;
        for (const auto& response : responses_) {
            if (worker_->work_response != nullptr)
                worker_->work_response(lilv_instance_get_handle(instance_), static_cast<std::uint32_t>(response.size()),
                                       response.data());
        }
        responses_.clear();
        if (worker_->end_run != nullptr) worker_->end_run(lilv_instance_get_handle(instance_));
    }

    Subject subject_;
    LilvInstance* instance_ = nullptr;
    const LV2_Worker_Interface* worker_ = nullptr;
    std::vector<float> controls_;
    std::vector<std::vector<std::uint64_t>> atoms_;
    std::vector<std::uint32_t> audioIn_, audioOut_, atomIn_, atomOut_;
    std::vector<std::vector<float>> in_, out_;
    std::vector<std::vector<unsigned char>> responses_;
    LV2_URID sequenceType_ = 0, chunkType_ = 0;
    std::size_t controlsSet_ = 0;
    double sumSquares_ = 0.0;
    std::size_t frames_ = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t mid = v.size() / 2;
    return v.size() % 2 ? v[mid] : 0.5 * (v[mid - 1] + v[mid]);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 15;
    double seconds = 2.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(0.1, std::atof(argv[i + 1]));
    }
    const char* userPath = std::getenv("LV2_PATH");
    const std::string lv2Path = std::string(DUNMARROW_LV2_BUILD_DIR) + ":" + (userPath ? userPath : "/usr/lib/lv2");
    setenv("LV2_PATH", lv2Path.c_str(), 1);

#if defined(__x86_64__) || defined(__i386__)
    // Flush-to-zero and denormals-are-zero for every plugin, as audio hosts set them.
    _mm_setcsr(_mm_getcsr() | 0x8040);
#endif

    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    const LilvPlugins* all = lilv_world_get_all_plugins(world);

    UridTable urids;
    LV2_URID_Map map{&urids, &UridTable::mapCallback};
    LV2_URID_Unmap unmap{&urids, &UridTable::unmapCallback};
    const auto blockLength = static_cast<std::int32_t>(kBlock);
    const auto sequenceSize = static_cast<std::int32_t>(kAtomCapacity);
    const auto rate = static_cast<float>(kSampleRate);
    const LV2_URID intType = urids.map(LV2_ATOM__Int);
    const LV2_URID floatType = urids.map(LV2_ATOM__Float);
    const LV2_Options_Option options[] = {
        {LV2_OPTIONS_INSTANCE, 0, urids.map(LV2_BUF_SIZE__minBlockLength), sizeof blockLength, intType, &blockLength},
        {LV2_OPTIONS_INSTANCE, 0, urids.map(LV2_BUF_SIZE__maxBlockLength), sizeof blockLength, intType, &blockLength},
        {LV2_OPTIONS_INSTANCE, 0, urids.map(LV2_BUF_SIZE__nominalBlockLength), sizeof blockLength, intType,
         &blockLength},
        {LV2_OPTIONS_INSTANCE, 0, urids.map(LV2_BUF_SIZE__sequenceSize), sizeof sequenceSize, intType, &sequenceSize},
        {LV2_OPTIONS_INSTANCE, 0, urids.map("http://lv2plug.in/ns/ext/parameters#sampleRate"), sizeof rate, floatType,
         &rate},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr},
    };
    LV2_Worker_Schedule schedule{nullptr, &LoadedPlugin::scheduleCallback};
    const LV2_Feature mapFeature{LV2_URID__map, &map};
    const LV2_Feature unmapFeature{LV2_URID__unmap, &unmap};
    const LV2_Feature optionsFeature{LV2_OPTIONS__options, const_cast<LV2_Options_Option*>(options)};
    const LV2_Feature boundedFeature{LV2_BUF_SIZE__boundedBlockLength, nullptr};
    const LV2_Feature scheduleFeature{LV2_WORKER__schedule, &schedule};
    const LV2_Feature* features[] = {&mapFeature, &unmapFeature, &optionsFeature, &boundedFeature, &scheduleFeature,
                                     nullptr};

    std::printf("LV2_PATH=%s\n48 kHz, %u-frame blocks, %d rounds of %.1f s of audio per plugin\n", lv2Path.c_str(),
                kBlock, rounds, seconds);
    std::vector<std::unique_ptr<LoadedPlugin>> loaded;
    for (const Subject& subject : subjects()) {
        LilvNode* uri = lilv_new_uri(world, subject.uri);
        const LilvPlugin* plugin = lilv_plugins_get_by_uri(all, uri);
        lilv_node_free(uri);
        if (plugin == nullptr) {
            std::printf("missing: %s (%s), left out\n", subject.label, subject.uri);
            continue;
        }
        auto entry = std::make_unique<LoadedPlugin>(world, plugin, subject, features, urids);
        if (!entry->loaded()) {
            std::printf("missing: %s (%s) did not instantiate, left out\n", subject.label, subject.uri);
            continue;
        }
        if (entry->controlsSet() != subject.controls.size())
            std::printf("note: %s has only %zu of the %zu controls set\n", subject.label, entry->controlsSet(),
                        subject.controls.size());
        loaded.push_back(std::move(entry));
    }
    if (loaded.empty() || !loaded.front()->subject().isDunmarrow) {
        std::printf("dunmarrow.lv2 not found in %s\n", DUNMARROW_LV2_BUILD_DIR);
        return 2;
    }

    // Every plugin gets the same signal from the same place each round; the
    // order rotates from round to round, and a first round warms everything up.
    const std::vector<std::vector<float>> signal = makeSignal();
    const auto blocks = static_cast<std::size_t>(seconds * kSampleRate / kBlock);
    std::vector<std::vector<double>> costs(loaded.size());
    for (int round = -1; round < rounds; ++round) {
        for (std::size_t k = 0; k < loaded.size(); ++k) {
            const std::size_t i = (k + static_cast<std::size_t>(std::max(round, 0))) % loaded.size();
            LoadedPlugin& p = *loaded[i];
            // Plugins keep the schedule feature's address; its handle names the one running now.
            schedule.handle = &p;
            std::size_t position = 0;
            const double cpu = p.render(signal, position, blocks);
            if (round >= 0)
                costs[i].push_back(cpu * 1e9 / (static_cast<double>(blocks * kBlock) * static_cast<double>(p.channels())));
        }
    }

    const double dunmarrow = median(costs[0]);
    std::printf("\n%-24s %8s %14s %12s %10s\n", "plugin", "channels", "ns/frame/chan", "ratio", "out rms");
    double cheapestPeer = 0.0;
    std::string cheapestName;
    double everyStage = 0.0;
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        const double cost = median(costs[i]);
        std::printf("%-24s %8zu %14.1f %11.2fx %10.3f\n", loaded[i]->subject().label, loaded[i]->channels(), cost,
                    cost / dunmarrow, loaded[i]->outputRms());
        if (loaded[i]->subject().isDunmarrow) {
            if (i > 0) everyStage = cost;
        } else if (cheapestName.empty() || cost < cheapestPeer) {
            cheapestPeer = cost;
            cheapestName = loaded[i]->subject().label;
        }
    }
    if (!cheapestName.empty()) {
        std::printf("\nagainst the cheapest peer (%s): defaults %.2f (target <= 0.80), every stage %.2f (target <= 1.00)\n",
                    cheapestName.c_str(), dunmarrow / cheapestPeer, everyStage / cheapestPeer);
    }
    loaded.clear();
    lilv_world_free(world);
    return 0;
}
