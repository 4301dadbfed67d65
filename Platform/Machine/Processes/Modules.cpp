#include "Machine/Processes/Modules.h"

#include "Machine/Clock/Clock.h"
#include "Machine/Processes/Environment.h"
#include "Machine/Files/FileSystem.h"
#include "Machine/Processes/Handles.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"

#include <sysinfoapi.h>
#include <winbase.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <optional>
#include <utility>

LONG WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
void WINAPI SetOaNoCache(void);

namespace sim {

namespace {

using ExportThunk = INT_PTR (*)(INT_PTR, INT_PTR, INT_PTR, INT_PTR);

// A declared export, called through whatever type its caller casts the FARPROC to: it reads
// the integer arguments the machine says it takes, so a call with fewer reads nothing it needs.
template <size_t Slot>
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
INT_PTR WINAPI
ExportCall(INT_PTR a, INT_PTR b, INT_PTR c, INT_PTR d) {
    const INT_PTR arguments[] = {a, b, c, d};
    return Machine::Get().Modules().Call(Slot, arguments);
}

template <size_t... Slots>
constexpr std::array<ExportThunk, sizeof...(Slots)> MakeExportCalls(std::index_sequence<Slots...>) {
    return {{&ExportCall<Slots>...}};
}

constexpr std::array<ExportThunk, kMaxDeclaredExports> kExportCalls =
    MakeExportCalls(std::make_index_sequence<kMaxDeclaredExports>());

// Registered by a static constructor, maybe before or after the machine's first use and read up to
// the last static destructor: plain data, constant-initialised, never destroyed. The count is
// stored before the table that publishes it.
std::atomic<size_t> g_executableStringCount{0};
std::atomic<const StringResource*> g_executableStrings{nullptr};

bool HasDirectory(const std::u16string& name) {
    return name.find_first_of(u"\\/") != std::u16string::npos ||
           (name.size() >= 2 && name[1] == u':');
}

std::u16string FileName(const std::u16string& path) {
    size_t slash = path.find_last_of(u"\\/");
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// The loader supplies ".dll" to a file name without an extension; a trailing dot means none.
std::u16string WithExtension(std::u16string name) {
    std::u16string file = FileName(name);
    if (!file.empty() && file.back() == u'.') {
        name.pop_back();
    } else if (file.find(u'.') == std::u16string::npos) {
        name += u".dll";
    }
    return name;
}

std::u16string Join(const std::u16string& directory, const std::u16string& name) {
    if (!directory.empty() && (directory.back() == u'\\' || directory.back() == u'/')) {
        return directory + name;
    }
    return directory + u"\\" + name;
}

}  // namespace

std::string RecordTime() {
    SYSTEMTIME now = Machine::Get().Clock().LocalTime();
    char time[64];
    std::snprintf(time, sizeof(time), "%04u-%02u-%02uT%02u:%02u:%02u.%03u", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return time;
}

ModuleTable::ModuleTable(const MachineSettings& settings) {
    Add(u"", true);
    Module& kernel32 = Add(u"kernel32.dll", true);
    kernel32.exports["GetSystemInfo"] = AsFarProc(&GetSystemInfo);
    if (settings.os.hasGetNativeSystemInfo) {
        kernel32.exports["GetNativeSystemInfo"] = AsFarProc(&GetNativeSystemInfo);
    }
    Module& ntdll = Add(u"ntdll.dll", true);
    ntdll.exports["RtlGetVersion"] = AsFarProc(&RtlGetVersion);
    Module& oleaut32 = Add(u"oleaut32.dll", true);
    oleaut32.exports["SetOaNoCache"] = AsFarProc(&SetOaNoCache);

    for (const LibrarySettings& library : settings.libraries) {
        std::u16string declared = WithExtension(library.name);
        Module& module = Add(FileName(declared), false);
        if (HasDirectory(declared)) {
            // Rooted at C: rather than at a process's current directory: the disk is the
            // machine's, whichever process looks.
            module.path = declared.size() >= 2 && declared[1] == u':' ? declared : u"C:" + declared;
        }
        for (const std::string& name : library.exports) {
            module.exports[name] = AsFarProc(kExportCalls[m_slots.size()]);
            m_slots.push_back(Slot{Utf16ToUtf8(module.name), name, library.calls.at(name)});
        }
        for (const auto& table : library.strings) {
            for (const auto& string : table.second) {
                module.texts.push_back(string.second);
            }
        }
        size_t n = 0;
        for (const auto& table : library.strings) {
            for (const auto& string : table.second) {
                module.strings.push_back(
                    StringResource{table.first, string.first, module.texts[n++].c_str()});
            }
        }
    }
}

ModuleTable::Module& ModuleTable::Add(const std::u16string& name, bool pinned) {
    m_modules.push_back(std::make_unique<Module>());
    Module& module = *m_modules.back();
    module.name = name;
    module.path = name.empty() ? u"" : Join(kSystemDirectory, name);
    module.pinned = pinned;
    return module;
}

void ModuleTable::RegisterExecutableStrings(const StringResource* strings, size_t count) {
    g_executableStringCount.store(count, std::memory_order_relaxed);
    g_executableStrings.store(strings, std::memory_order_release);
}

ModuleTable::Module* ModuleTable::Loaded(HMODULE handle) {
    for (const auto& module : m_modules) {
        if (reinterpret_cast<HMODULE>(module.get()) == handle &&
            (module->pinned || module->references > 0)) {
            return module.get();
        }
    }
    return nullptr;
}

ModuleTable::Module* ModuleTable::Declared(const std::u16string& path) {
    for (const auto& module : m_modules) {
        if (!module->name.empty() && EqualNoCase(module->path, path)) {
            return module.get();
        }
    }
    return nullptr;
}

DWORD ModuleTable::Load(const std::u16string& request, FileSystem& files, Environment& environment,
                        HMODULE* handle) {
    std::u16string name = WithExtension(request);
    std::vector<std::u16string> candidates;
    if (HasDirectory(name)) {
        candidates.push_back(files.TargetPath(name));
    } else {
        // A module of that name already loaded is the one, wherever it was loaded from.
        std::lock_guard<std::mutex> hold(m_lock);
        for (const auto& module : m_modules) {
            if (!module->name.empty() && (module->pinned || module->references > 0) &&
                EqualNoCase(module->name, name)) {
                ++module->references;
                *handle = reinterpret_cast<HMODULE>(module.get());
                return ERROR_SUCCESS;
            }
        }
    }
    if (candidates.empty()) {
        // The standard search order with safe DLL search mode, as Windows sets it by default.
        std::u16string application = files.ApplicationDirectory();
        if (!application.empty()) {
            candidates.push_back(files.TargetPath(Join(application, name)));
        }
        for (const std::u16string& directory :
             {std::u16string(kSystemDirectory), Join(kWindowsDirectory, u"System"),
              std::u16string(kWindowsDirectory), files.CurrentDirectory()}) {
            candidates.push_back(files.TargetPath(Join(directory, name)));
        }
        std::u16string path = environment.Get(u"PATH").value_or(u"");
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find(u';', start);
            std::u16string directory = path.substr(
                start, end == std::u16string::npos ? std::u16string::npos : end - start);
            if (!directory.empty()) {
                candidates.push_back(files.TargetPath(Join(directory, name)));
            }
            if (end == std::u16string::npos) {
                break;
            }
            start = end + 1;
        }
    }
    std::lock_guard<std::mutex> hold(m_lock);
    for (const std::u16string& candidate : candidates) {
        if (Module* module = Declared(candidate)) {
            ++module->references;
            *handle = reinterpret_cast<HMODULE>(module);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_MOD_NOT_FOUND;
}

DWORD ModuleTable::Free(HMODULE handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    Module* module = Loaded(handle);
    if (module == nullptr) {
        return ERROR_MOD_NOT_FOUND;
    }
    if (!module->pinned) {
        --module->references;
    }
    return ERROR_SUCCESS;
}

HMODULE ModuleTable::Find(const std::u16string& request, FileSystem& files) {
    std::u16string name = request.empty() ? request : WithExtension(request);
    bool byPath = HasDirectory(name);
    if (byPath) {
        name = files.FullPath(name);
    }
    std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& module : m_modules) {
        if (!module->pinned && module->references == 0) {
            continue;
        }
        bool match = name.empty() ? module->name.empty()
                                  : !module->name.empty() &&
                                        EqualNoCase(byPath ? module->path : module->name, name);
        if (match) {
            return reinterpret_cast<HMODULE>(module.get());
        }
    }
    return nullptr;
}

bool ModuleTable::Owns(HMODULE handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    return Loaded(handle) != nullptr;
}

HMODULE ModuleTable::Executable() {
    return reinterpret_cast<HMODULE>(m_modules.front().get());
}

FARPROC ModuleTable::Export(HMODULE handle, const std::string& name) {
    std::lock_guard<std::mutex> hold(m_lock);
    Module* module = Loaded(handle);
    if (module == nullptr) {
        return nullptr;
    }
    auto found = module->exports.find(name);
    return found == module->exports.end() ? nullptr : found->second;
}

namespace {

// The string `id` in the `language` version of its block: true when that block exists, with an
// empty text for a number the block leaves out.
bool FindInBlock(const StringResource* table, size_t count, WORD language, UINT id,
                 const char16_t** text, size_t* length) {
    bool blockFound = false;
    for (const StringResource* string = table; string != table + count; ++string) {
        if (string->wLanguage == language && string->uID / 16 == id / 16) {
            blockFound = true;
            if (string->uID == id) {
                *text = string->pszText;
                *length = std::char_traits<char16_t>::length(string->pszText);
                return true;
            }
        }
    }
    if (blockFound) {
        *text = u"";
        *length = 0;
    }
    return blockFound;
}

}  // namespace

DWORD ModuleTable::String(HMODULE handle, UINT id, WORD language, const char16_t** text,
                          size_t* length) {
    std::lock_guard<std::mutex> hold(m_lock);
    Module* module = Loaded(handle);
    if (module == nullptr) {
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    const StringResource* table = module->strings.data();
    size_t count = module->strings.size();
    if (module->name.empty()) {
        table = g_executableStrings.load(std::memory_order_acquire);
        count = table ? g_executableStringCount.load(std::memory_order_relaxed) : 0;
    }
    if (count == 0) {
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    // Strings come in blocks of sixteen, each block in the languages it was written in. Past the
    // wanted languages the loader takes the block's first language in the resource directory,
    // which sorts languages by number.
    const WORD kEnglishUs = 0x0409;
    std::optional<WORD> first;
    for (const StringResource* string = table; string != table + count; ++string) {
        if (string->uID / 16 == id / 16 && (!first || string->wLanguage < *first)) {
            first = string->wLanguage;
        }
    }
    if (!first) {
        return ERROR_RESOURCE_NAME_NOT_FOUND;
    }
    for (WORD wanted : {language, WORD(0), kEnglishUs, *first}) {
        if (FindInBlock(table, count, wanted, id, text, length)) {
            return ERROR_SUCCESS;
        }
    }
    return ERROR_RESOURCE_NAME_NOT_FOUND;  // not reached: the first language has the block
}

INT_PTR ModuleTable::Call(size_t slotIndex, const INT_PTR* arguments) {
    Slot slot;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (slotIndex >= m_slots.size()) {
            return 0;  // a function of a library of the machine this process used before
        }
        slot = m_slots[slotIndex];
    }
    std::string list = "[";
    for (unsigned i = 0; i < slot.call.arguments; ++i) {
        list += (i ? "," : "") + std::to_string(static_cast<long long>(arguments[i]));
    }
    list += "]";
    JsonLine line;
    line.Add("time", RecordTime())
        .Add("process", static_cast<long long>(GetCurrentProcessId()))
        .Add("thread", static_cast<long long>(CurrentThreadId()))
        .Add("library", slot.library)
        .Add("export", slot.name)
        .AddRaw("arguments", list)
        .Add("result", slot.call.result);
    Machine::Get().AppendRecord("libraries.jsonl", line.Text());
    return static_cast<INT_PTR>(slot.call.result);
}

}  // namespace sim
