#include "ModuleFileCheck.hpp"

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "foundation/FileReading.hpp"

namespace audiounit {

namespace {

// The ELF flavour this process is built as, which is the only one it can load.
constexpr bool k64Bit = sizeof(void*) == 8;
using ElfHeader = std::conditional_t<k64Bit, Elf64_Ehdr, Elf32_Ehdr>;
using ProgramHeader = std::conditional_t<k64Bit, Elf64_Phdr, Elf32_Phdr>;
constexpr unsigned char kClass = k64Bit ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kByteOrder = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__i386__)
constexpr int kMachine = EM_386;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr int kMachine = EM_ARM;
#elif defined(__powerpc64__)
constexpr int kMachine = EM_PPC64;
#elif defined(__riscv)
constexpr int kMachine = EM_RISCV;
#elif defined(__s390x__)
constexpr int kMachine = EM_S390;
#else
constexpr int kMachine = -1;  // not known here: the loader alone judges the machine
#endif

// a + b, or the largest value where that overflows.
std::uint64_t saturatingSum(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::string bytes(std::uint64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

// "is truncated: <what> ends at byte N, but the file has M bytes".
std::string truncated(const std::string& what, std::uint64_t end, std::uint64_t size) {
    return "is truncated: " + what + " ends at byte " + std::to_string(end) + ", but the file has " + bytes(size);
}

}  // namespace

std::optional<std::string> moduleFileProblem(const std::filesystem::path& path) {
    std::string error;
    const auto file = foundation::RegularFile::open(path, &error);
    if (!file) return error;
    const std::uint64_t size = file->size();

    ElfHeader header{};
    std::size_t got = 0;
    if (!file->readAt(0, &header, sizeof header, &got, &error)) return error;
    if (got < SELFMAG || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return "is not an ELF file";
    if (got < sizeof header) return truncated("the ELF header", sizeof header, size);
    if (header.e_ident[EI_CLASS] != kClass) {
        const unsigned char elfClass = header.e_ident[EI_CLASS];
        if (elfClass != ELFCLASS32 && elfClass != ELFCLASS64) return "is an ELF file of an unknown class";
        return std::string("is a ") + (elfClass == ELFCLASS32 ? "32-bit" : "64-bit") +
               " ELF file, but this program loads " + (k64Bit ? "64-bit" : "32-bit") + " modules";
    }
    if (header.e_ident[EI_DATA] != kByteOrder) return "is an ELF file of the other byte order";
    if (header.e_ident[EI_VERSION] != EV_CURRENT || header.e_version != EV_CURRENT)
        return "is an ELF file of an unknown version";
    if (header.e_type != ET_DYN)
        return "is an ELF file but not a shared object (type " + std::to_string(header.e_type) + ")";
    if (kMachine >= 0 && header.e_machine != kMachine)
        return "is built for another machine (ELF machine " + std::to_string(header.e_machine) + ")";
    if (header.e_phentsize != sizeof(ProgramHeader) || header.e_phnum == 0 || header.e_phnum == PN_XNUM)
        return "has no program headers the loader can read";

    const std::uint64_t tableEnd =
        saturatingSum(header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(ProgramHeader));
    if (tableEnd > size) return truncated("the program header table", tableEnd, size);
    std::vector<ProgramHeader> segments(header.e_phnum);
    if (!file->readAt(header.e_phoff, segments.data(), segments.size() * sizeof(ProgramHeader), &got, &error))
        return error;
    if (got < segments.size() * sizeof(ProgramHeader)) return truncated("the program header table", tableEnd, size);

    bool loadable = false;
    for (std::size_t index = 0; index < segments.size(); ++index) {
        const ProgramHeader& segment = segments[index];
        loadable = loadable || segment.p_type == PT_LOAD;
        // Every part of the file a segment names must be there: the loader maps
        // and reads them all.
        const std::uint64_t end = saturatingSum(segment.p_offset, segment.p_filesz);
        if (segment.p_filesz > 0 && end > size)
            return truncated("segment " + std::to_string(index), end, size);
        if (segment.p_type == PT_LOAD && segment.p_filesz > segment.p_memsz)
            return "has a loadable segment larger in the file than in memory (segment " + std::to_string(index) + ")";
    }
    if (!loadable) return "has no loadable segment";
    return std::nullopt;
}

}  // namespace audiounit
