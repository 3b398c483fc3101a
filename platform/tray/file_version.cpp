#include "file_version.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr char section_name[] = ".tavrel_version";

class fd_holder {
  public:
    explicit fd_holder(int fd) : fd_(fd) {}
    ~fd_holder() {
        if (fd_ >= 0) ::close(fd_);
    }
    fd_holder(const fd_holder&) = delete;
    fd_holder& operator=(const fd_holder&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool read_at(int fd, uint64_t offset, uint64_t size, uint64_t file_size, void* out) {
    if (offset > file_size || size > file_size - offset) return false;
    size_t done = 0;
    auto* bytes = static_cast<uint8_t*>(out);
    while (done < size) {
        ssize_t n = ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

version_status read_file_version(const std::string& path, file_version_block& out) {
    fd_holder fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return version_status::none;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return version_status::none;
    const uint64_t file_size = static_cast<uint64_t>(st.st_size);

    Elf64_Ehdr eh{};
    if (!read_at(fd.get(), 0, sizeof eh, file_size, &eh)) return version_status::none;
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_ident[EI_DATA] != ELFDATA2LSB)
        return version_status::none;
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 || eh.e_shnum > 4096 ||
        eh.e_shstrndx >= eh.e_shnum)
        return version_status::none;

    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    if (!read_at(fd.get(), eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Elf64_Shdr), file_size,
                 sections.data()))
        return version_status::none;
    const Elf64_Shdr& names = sections[eh.e_shstrndx];
    if (names.sh_size == 0 || names.sh_size > (1u << 20)) return version_status::none;
    std::vector<char> table(names.sh_size);
    if (!read_at(fd.get(), names.sh_offset, names.sh_size, file_size, table.data()))
        return version_status::none;

    for (const Elf64_Shdr& s : sections) {
        if (s.sh_name >= table.size()) continue;
        const size_t room = table.size() - s.sh_name;
        if (strnlen(table.data() + s.sh_name, room) == room) continue; // unterminated
        if (std::strcmp(table.data() + s.sh_name, section_name) != 0) continue;
        // The resource exists: from here a failure is a read error.
        if (s.sh_type == SHT_NOBITS || s.sh_size < sizeof out) return version_status::unreadable;
        file_version_block block{};
        if (!read_at(fd.get(), s.sh_offset, sizeof block, file_size, &block))
            return version_status::unreadable;
        if (block.signature != file_version_signature) return version_status::unreadable;
        out = block;
        return version_status::ok;
    }
    return version_status::none;
}

} // namespace plat
