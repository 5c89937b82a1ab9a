// Modules built against older headers: see module_abi.h.
#include "bridge/module_abi.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

namespace Efi::detail {

namespace {

// The variables whose meaning changed in 0.2, by mangled and C++ name.
constexpr std::array<std::pair<std::string_view, const char*>, 4> kPerThread{{
    {"_ZN12IqlAllocator9m_currentE", "IqlAllocator::m_current"},
    {"_ZN12IqlAllocator12m_NextHandleE", "IqlAllocator::m_NextHandle"},
    {"_ZN12IqlAllocator13m_init_handleE", "IqlAllocator::m_init_handle"},
    {"_ZN17PinnedArrayMemory7HandlesE", "PinnedArrayMemory::Handles"},
}};

// A file mapped for reading, unmapped however the reading ends.
class MappedFile {
public:
    explicit MappedFile(const char* path) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_size > 0) {
            void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (p != MAP_FAILED) {
                m_data = static_cast<const unsigned char*>(p);
                m_size = static_cast<std::size_t>(st.st_size);
            }
        }
        ::close(fd);
    }
    ~MappedFile() {
        if (m_data) ::munmap(const_cast<unsigned char*>(m_data), m_size);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    /// `count` objects of type T at `offset`, or null when they do not lie
    /// wholly inside the file.
    template <class T>
    const T* At(std::uint64_t offset, std::uint64_t count = 1) const noexcept {
        if (!m_data || offset > m_size || count > (m_size - offset) / sizeof(T)) return nullptr;
        return reinterpret_cast<const T*>(m_data + offset);
    }

private:
    const unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
};

const char* CppNameOfChanged(std::string_view name) noexcept {
    for (const auto& [mangled, cpp] : kPerThread)
        if (name == mangled) return cpp;
    return nullptr;
}

}  // namespace

std::string OutdatedModuleText(const std::string& variable) {
    return "built against efi headers older than 0.2, where " + variable +
           " was shared by the whole process (it is each thread's own now): rebuild it";
}

std::optional<std::string> OutdatedReference(void* handle) {
    link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name) return std::nullopt;
    const MappedFile file(map->l_name);
    const auto* header = file.At<Elf64_Ehdr>(0);
    if (!header || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64 ||
        header->e_shentsize != sizeof(Elf64_Shdr))
        return std::nullopt;
    const auto* sections = file.At<Elf64_Shdr>(header->e_shoff, header->e_shnum);
    if (!sections) return std::nullopt;
    for (std::size_t s = 0; s < header->e_shnum; ++s) {
        const Elf64_Shdr& dynsym = sections[s];
        if (dynsym.sh_type != SHT_DYNSYM || dynsym.sh_link >= header->e_shnum) continue;
        const Elf64_Shdr& strtab = sections[dynsym.sh_link];
        const auto* symbols = file.At<Elf64_Sym>(dynsym.sh_offset, dynsym.sh_size / sizeof(Elf64_Sym));
        const auto* names = file.At<char>(strtab.sh_offset, strtab.sh_size);
        if (!symbols || !names) return std::nullopt;
        for (std::size_t i = 0; i < dynsym.sh_size / sizeof(Elf64_Sym); ++i) {
            const Elf64_Sym& sym = symbols[i];
            if (sym.st_shndx != SHN_UNDEF || ELF64_ST_TYPE(sym.st_info) == STT_TLS || sym.st_name >= strtab.sh_size)
                continue;
            const char* name = names + sym.st_name;
            if (const char* cpp =
                    CppNameOfChanged(std::string_view(name, ::strnlen(name, strtab.sh_size - sym.st_name))))
                return std::string(cpp);
        }
    }
    return std::nullopt;
}

}  // namespace Efi::detail
