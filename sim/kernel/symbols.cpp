// Naming code addresses: the image an address lies in (dladdr) and the function around it, from
// the image's own symbol table. Kernel images export only their entry point, so dladdr alone
// would name every routine after it; the full symbol table (.symtab) knows the static routines.
#include "sim/kernel/internal.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace sim {
namespace {

struct FunctionSymbol {
    uintptr_t start;
    uintptr_t size;
    std::string name;
};

// The symbol around `offset` in a list sorted by address.
const FunctionSymbol* findSymbol(const std::vector<FunctionSymbol>& sorted, uintptr_t offset) {
    auto it =
        std::upper_bound(sorted.begin(), sorted.end(), offset,
                         [](uintptr_t value, const FunctionSymbol& f) { return value < f.start; });
    if (it == sorted.begin())
        return nullptr;
    --it;
    if (offset >= it->start && (it->size == 0 || offset < it->start + it->size))
        return &*it;
    return nullptr;
}

// The functions and the sized data objects of one image file, each sorted by address.
struct ImageSymbols {
    std::vector<FunctionSymbol> functions;
    std::vector<FunctionSymbol> objects;
    bool absolute = false;  // a fixed-address executable: symbols hold absolute addresses

    const FunctionSymbol* find(uintptr_t offset) const { return findSymbol(functions, offset); }
};

std::string demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    std::string result = status == 0 && text ? text.get() : name;
    if (auto clone = result.find(" [clone"); clone != std::string::npos)
        result.resize(clone);
    // Drop the parameter list: the parenthesis that matches the final one.
    if (!result.empty() && result.back() == ')') {
        int depth = 0;
        for (size_t i = result.size(); i-- > 0;) {
            if (result[i] == ')')
                ++depth;
            if (result[i] == '(' && --depth == 0) {
                if (i > 0)
                    result.resize(i);
                break;
            }
        }
    }
    return result;
}

// Reads the symbol table of an ELF file (falling back to the dynamic one).
ImageSymbols readSymbols(const char* path) {
    ImageSymbols symbols;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return symbols;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Elf64_Ehdr))) {
        ::close(fd);
        return symbols;
    }
    size_t size = static_cast<size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED)
        return symbols;
    auto* base = static_cast<const uint8_t*>(map);
    auto* eh = reinterpret_cast<const Elf64_Ehdr*>(base);
    auto inFile = [&](uint64_t offset, uint64_t length) {
        return offset <= size && length <= size - offset;
    };
    if (memcmp(eh->e_ident, ELFMAG, SELFMAG) == 0 && eh->e_ident[EI_CLASS] == ELFCLASS64 &&
        inFile(eh->e_shoff, uint64_t{eh->e_shnum} * sizeof(Elf64_Shdr))) {
        symbols.absolute = eh->e_type == ET_EXEC;
        auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + eh->e_shoff);
        for (uint32_t wanted : {uint32_t{SHT_SYMTAB}, uint32_t{SHT_DYNSYM}}) {
            for (int i = 0; i < eh->e_shnum && symbols.functions.empty(); ++i) {
                const Elf64_Shdr& sh = sections[i];
                if (sh.sh_type != wanted || sh.sh_link >= eh->e_shnum)
                    continue;
                const Elf64_Shdr& strings = sections[sh.sh_link];
                if (!inFile(sh.sh_offset, sh.sh_size) ||
                    !inFile(strings.sh_offset, strings.sh_size) || sh.sh_entsize == 0)
                    continue;
                auto* syms = reinterpret_cast<const Elf64_Sym*>(base + sh.sh_offset);
                size_t count = sh.sh_size / sizeof(Elf64_Sym);
                for (size_t k = 0; k < count; ++k) {
                    const Elf64_Sym& sym = syms[k];
                    int type = ELF64_ST_TYPE(sym.st_info);
                    bool object = type == STT_OBJECT && sym.st_size != 0;
                    if ((type != STT_FUNC && !object) || sym.st_value == 0 ||
                        sym.st_name >= strings.sh_size)
                        continue;
                    const char* name =
                        reinterpret_cast<const char*>(base + strings.sh_offset + sym.st_name);
                    (object ? symbols.objects : symbols.functions)
                        .push_back({sym.st_value, sym.st_size, demangle(name)});
                }
            }
            if (!symbols.functions.empty())
                break;
        }
    }
    ::munmap(map, size);
    auto byAddress = [](const FunctionSymbol& a, const FunctionSymbol& b) {
        return a.start < b.start;
    };
    std::sort(symbols.functions.begin(), symbols.functions.end(), byAddress);
    std::sort(symbols.objects.begin(), symbols.objects.end(), byAddress);
    return symbols;
}

struct SymbolCache {
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<const ImageSymbols>> images;

    std::shared_ptr<const ImageSymbols> get(const std::string& path) {
        std::lock_guard lock(mutex);
        auto& entry = images[path];
        if (!entry)
            entry = std::make_shared<const ImageSymbols>(readSymbols(path.c_str()));
        return entry;
    }
};

SymbolCache& symbolCache() {
    static SymbolCache* cache = new SymbolCache;  // lives to the end of the process
    return *cache;
}

std::string baseName(const char* path) {
    std::string p = path ? path : "";
    auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

std::string CodeLocation::describe() const {
    char text[64];
    std::string out = image.empty() ? std::string("?") : image;
    if (!function.empty()) {
        snprintf(text, sizeof text, "+0x%lx", static_cast<unsigned long>(functionOffset));
        out += "!" + function + text;
    } else {
        snprintf(text, sizeof text, "+0x%lx", static_cast<unsigned long>(offset));
        out += text;
    }
    return out;
}

CodeLocation locateCode(const void* address) {
    CodeLocation where;
    if (!address) {
        where.image = "?";
        return where;
    }
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname) {
        char text[32];
        snprintf(text, sizeof text, "%p", address);
        where.image = text;
        return where;
    }
    where.image = baseName(info.dli_fname);
    uintptr_t base = reinterpret_cast<uintptr_t>(info.dli_fbase);
    where.offset = reinterpret_cast<uintptr_t>(address) - base;
    // A return address points after the call; look up the byte before it so that a call at the
    // very end of a function is named after that function.
    uintptr_t lookup = where.offset > 0 ? where.offset - 1 : 0;
    std::string path = info.dli_fname;
    if (path.empty() || path.find('/') == std::string::npos)
        path = "/proc/self/exe";
    auto symbols = symbolCache().get(path);
    if (symbols->absolute)
        lookup += base;
    if (const FunctionSymbol* f = symbols->find(lookup)) {
        where.function = f->name;
        where.functionOffset = lookup + 1 - f->start;
    } else if (info.dli_sname) {
        where.function = demangle(info.dli_sname);
        where.functionOffset =
            reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_saddr);
    }
    return where;
}

std::optional<DataObject> locateData(const void* address) {
    Dl_info info{};
    if (!address || !dladdr(address, &info) || !info.dli_fname)
        return std::nullopt;
    std::string path = info.dli_fname;
    if (path.empty() || path.find('/') == std::string::npos)
        path = "/proc/self/exe";
    auto symbols = symbolCache().get(path);
    uintptr_t base = reinterpret_cast<uintptr_t>(info.dli_fbase);
    uintptr_t lookup = reinterpret_cast<uintptr_t>(address) - (symbols->absolute ? 0 : base);
    const FunctionSymbol* object = findSymbol(symbols->objects, lookup);
    if (!object || object->size == 0)
        return std::nullopt;
    return DataObject{baseName(info.dli_fname) + "!" + object->name, object->size,
                      lookup - object->start};
}

std::string describeCode(const void* address) {
    return locateCode(address).describe();
}

std::string hostBacktrace(int skipFrames) {
    void* frames[64];
    int count = backtrace(frames, 64);
    std::string out;
    for (int i = skipFrames; i < count; ++i) {
        char text[32];
        snprintf(text, sizeof text, "  #%-2d %p ", i - skipFrames, frames[i]);
        out += text;
        out += describeCode(frames[i]);
        out += "\n";
    }
    return out;
}

}  // namespace sim
