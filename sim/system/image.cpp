// Loading host kernel images: each load works on a fresh copy in its own temporary directory, so
// the dynamic loader can never hand back an image (or a companion such as libZaDar.so) that is
// already loaded with its globals from an earlier load.
#include "sim/system/system.hpp"

#include <dlfcn.h>
#include <elf.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

namespace sim {

namespace fs = std::filesystem;

fs::path imageDirectory() {
    if (const char* dir = std::getenv("VAVEDU_IMAGE_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    return VAVEDU_DEFAULT_IMAGE_DIR;
}

namespace {

// Images the process has loaded already and that every kernel image shares: they are found by
// their SONAME and never copied.
bool isSharedPlatformImage(const std::string& name) {
    return name == "libntoskrnl.so" || name == "libusbd.so";
}

std::vector<char> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read kernel image " + path.string());
    }
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// The DT_NEEDED entries of an ELF shared object, read from its dynamic section.
std::vector<std::string> neededEntries(const fs::path& path) {
    const std::vector<char> file = readFile(path);
    auto fail = [&](const char* why) -> std::runtime_error {
        return std::runtime_error("kernel image " + path.string() +
                                  " is not a valid ELF image: " + why);
    };
    if (file.size() < sizeof(Elf64_Ehdr) || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) {
        throw fail("no ELF header");
    }
    Elf64_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr)) {
        throw fail("not a 64-bit image");
    }
    auto sectionAt = [&](size_t index) {
        const size_t offset = header.e_shoff + index * sizeof(Elf64_Shdr);
        if (index >= header.e_shnum || offset + sizeof(Elf64_Shdr) > file.size()) {
            throw fail("section header out of bounds");
        }
        Elf64_Shdr section;
        std::memcpy(&section, file.data() + offset, sizeof section);
        if (section.sh_offset + section.sh_size > file.size()) {
            throw fail("section out of bounds");
        }
        return section;
    };
    std::vector<std::string> needed;
    for (size_t i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr dynamic = sectionAt(i);
        if (dynamic.sh_type != SHT_DYNAMIC) {
            continue;
        }
        const Elf64_Shdr strings = sectionAt(dynamic.sh_link);
        for (size_t at = 0; at + sizeof(Elf64_Dyn) <= dynamic.sh_size; at += sizeof(Elf64_Dyn)) {
            Elf64_Dyn entry;
            std::memcpy(&entry, file.data() + dynamic.sh_offset + at, sizeof entry);
            if (entry.d_tag == DT_NULL) {
                break;
            }
            if (entry.d_tag != DT_NEEDED) {
                continue;
            }
            if (entry.d_un.d_val >= strings.sh_size) {
                throw fail("DT_NEEDED name out of bounds");
            }
            const char* name = file.data() + strings.sh_offset + entry.d_un.d_val;
            needed.emplace_back(name, strnlen(name, strings.sh_size - entry.d_un.d_val));
        }
    }
    return needed;
}

// The image and, recursively, the kernel images it needs that live in the same directory.
std::vector<std::string> imageClosure(const fs::path& image) {
    const fs::path directory = image.parent_path();
    std::vector<std::string> files{image.filename().string()};
    std::set<std::string> seen(files.begin(), files.end());
    for (size_t i = 0; i < files.size(); ++i) {
        for (const std::string& name : neededEntries(directory / files[i])) {
            if (isSharedPlatformImage(name) || seen.count(name) != 0 ||
                !fs::exists(directory / name)) {
                continue;
            }
            seen.insert(name);
            files.push_back(name);
        }
    }
    return files;
}

fs::path makeTemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "vavedu-image-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory for a kernel image: " +
                                 std::string(std::strerror(errno)));
    }
    return pattern;
}

bool stillLoaded(const fs::path& copy) {
    void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

}  // namespace

struct LoadedImage::Impl {
    fs::path directory;
    fs::path copy;                 // the image itself
    std::vector<fs::path> copies;  // the image first, then its companions
    void* handle = nullptr;

    ~Impl() {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }
};

LoadedImage::LoadedImage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

LoadedImage::~LoadedImage() {
    if (dlclose(impl_->handle) != 0) {
        reportCheckFailure("dlclose of kernel image " + impl_->copy.string() +
                           " failed: " + dlerror());
    }
    std::string remaining;
    for (const fs::path& copy : impl_->copies) {
        if (stillLoaded(copy)) {
            remaining += " " + copy.filename().string();
        }
    }
    if (!remaining.empty()) {
        // A kernel image that stays mapped after its unload would carry its globals into the
        // next load and hide unload bugs: that must never pass silently.
        reportCheckFailure("kernel image " + impl_->copy.filename().string() +
                           " unloaded, but still mapped:" + remaining +
                           " (something keeps a reference to it)");
    }
}

void* LoadedImage::findSymbol(const char* name) const {
    dlerror();
    return dlsym(impl_->handle, name);
}

void* LoadedImage::symbol(const char* name) const {
    void* address = findSymbol(name);
    if (address == nullptr) {
        throw std::runtime_error("kernel image " + impl_->copy.filename().string() +
                                 " does not export " + name);
    }
    return address;
}

const fs::path& LoadedImage::path() const {
    return impl_->copy;
}

std::unique_ptr<LoadedImage> loadKernelImage(const fs::path& image) {
    if (!fs::is_regular_file(image)) {
        throw std::runtime_error("kernel image " + image.string() + " does not exist");
    }
    const fs::path source = fs::absolute(image);
    auto impl = std::make_unique<LoadedImage::Impl>();
    const std::vector<std::string> files = imageClosure(source);
    impl->directory = makeTemporaryDirectory();
    for (const std::string& name : files) {
        fs::copy_file(source.parent_path() / name, impl->directory / name);
        impl->copies.push_back(impl->directory / name);
    }
    impl->copy = impl->copies.front();

    impl->handle = dlopen(impl->copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (impl->handle == nullptr) {
        throw std::runtime_error("cannot load kernel image " + source.string() + ": " + dlerror());
    }
    for (size_t i = 1; i < impl->copies.size(); ++i) {
        if (!stillLoaded(impl->copies[i])) {
            // The loader bound the image to a copy of this companion loaded earlier: its globals
            // would not be fresh.
            const std::string name = impl->copies[i].filename().string();
            dlclose(impl->handle);
            throw std::runtime_error("kernel image " + source.filename().string() +
                                     " was bound to an earlier load of " + name +
                                     " instead of a fresh copy");
        }
    }
    return std::make_unique<LoadedImage>(std::move(impl));
}

}  // namespace sim
