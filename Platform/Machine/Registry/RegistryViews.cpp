#include "Machine/Registry/RegistryViews.h"

#include "Machine/Registry/RegKey.h"

#include <algorithm>

namespace sim {

const char16_t kWow6432Node[] = u"WOW6432Node";  // as regedit shows it on a host

namespace {

using Path = std::vector<std::u16string>;

// Under HKLM\SOFTWARE: the keys both views share (with what lies below them).
const char16_t* const kSharedKeys[] = {
    u"Classes",
    u"Clients",
    u"Microsoft\\COM3",
    u"Microsoft\\Cryptography\\Calais\\Current",
    u"Microsoft\\Cryptography\\Calais\\Readers",
    u"Microsoft\\Cryptography\\Services",
    u"Microsoft\\CTF\\SystemShared",
    u"Microsoft\\CTF\\TIP",
    u"Microsoft\\DFS",
    u"Microsoft\\Driver Signing",
    u"Microsoft\\EnterpriseCertificates",
    u"Microsoft\\EventSystem",
    u"Microsoft\\MSMQ",
    u"Microsoft\\Non-Driver Signing",
    u"Microsoft\\Notepad\\DefaultFonts",
    u"Microsoft\\OLE",
    u"Microsoft\\RAS",
    u"Microsoft\\RPC",
    u"Microsoft\\Shared Tools\\MSInfo",
    u"Microsoft\\SystemCertificates",
    u"Microsoft\\TermServLicensing",
    u"Microsoft\\TransactionServer",
    u"Microsoft\\Windows\\CurrentVersion\\App Paths",
    u"Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
    u"Microsoft\\Windows\\CurrentVersion\\Group Policy",
    u"Microsoft\\Windows\\CurrentVersion\\Policies",
    u"Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
    u"Microsoft\\Windows\\CurrentVersion\\Setup",
    u"Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations",
    u"Microsoft\\Windows NT\\CurrentVersion\\Console",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontLink",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
    u"Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
    u"Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
    u"Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    u"Microsoft\\Windows NT\\CurrentVersion\\Language Pack",
    u"Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    u"Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    u"Microsoft\\Windows NT\\CurrentVersion\\Ports",
    u"Microsoft\\Windows NT\\CurrentVersion\\Print",
    u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    u"Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
    u"Policies",
    u"RegisteredApplications",
};

// The COM registrations under the shared Classes key that stay apart: a 32-bit process's are in
// HKLM\SOFTWARE\Classes\Wow6432Node.
const char16_t* const kRedirectedClasses[] = {u"CLSID", u"DirectShow", u"Interface", u"Media Type",
                                              u"MediaFoundation"};

Path Split(const std::u16string& text) {
    Path names;
    size_t start = 0;
    for (size_t slash; (slash = text.find(u'\\', start)) != std::u16string::npos;
         start = slash + 1) {
        names.push_back(text.substr(start, slash - start));
    }
    names.push_back(text.substr(start));
    return names;
}

// Whether `names` begins with `prefix`, compared as registry names are.
bool StartsWith(const Path& names, size_t from, const Path& prefix) {
    if (names.size() - from < prefix.size()) {
        return false;
    }
    return std::equal(prefix.begin(), prefix.end(), names.begin() + from, RegNamesEqual);
}

bool IsShared(const Path& below) {
    // Split once and never destroyed: a service thread may still read the registry while the
    // process's static objects are destroyed.
    static const std::vector<Path>* const shared = [] {
        auto* keys = new std::vector<Path>;
        for (const char16_t* key : kSharedKeys) {
            keys->push_back(Split(key));
        }
        return keys;
    }();
    return std::any_of(shared->begin(), shared->end(),
                       [&](const Path& key) { return StartsWith(below, 0, key); });
}

bool IsRedirectedClass(const Path& below) {
    return below.size() >= 2 && RegNamesEqual(below[0], u"Classes") &&
           std::any_of(std::begin(kRedirectedClasses), std::end(kRedirectedClasses),
                       [&](const char16_t* name) { return RegNamesEqual(below[1], name); });
}

bool IsSoftware(const Path& path) {
    return path.size() >= 2 && RegNamesEqual(path[0], u"HKEY_LOCAL_MACHINE") &&
           RegNamesEqual(path[1], u"SOFTWARE");
}

}  // namespace

Path KeyInView(const Path& path, bool view32) {
    if (!IsSoftware(path)) {
        return path;
    }
    Path below(path.begin() + 2, path.end());
    bool in32 = view32;
    if (!below.empty() && RegNamesEqual(below[0], kWow6432Node)) {
        in32 = true;
        below.erase(below.begin());
    }
    if (!in32) {
        return path;
    }
    Path key{path[0], path[1]};
    if (IsRedirectedClass(below)) {
        key.insert(key.end(), {below[0], kWow6432Node});
        key.insert(key.end(), below.begin() + 1, below.end());
    } else {
        if (!IsShared(below)) {
            key.push_back(kWow6432Node);
        }
        key.insert(key.end(), below.begin(), below.end());
    }
    return key;
}

bool IsInWow6432Node(const Path& path) {
    return IsSoftware(path) && path.size() >= 3 && RegNamesEqual(path[2], kWow6432Node);
}

}  // namespace sim
