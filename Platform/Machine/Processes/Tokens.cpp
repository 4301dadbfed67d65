#include "Machine/Processes/Tokens.h"

#include "Machine/Machine.h"

#include <cctype>
#include <cstring>

namespace sim {

namespace {

// Windows' well-known privilege LUIDs.
const char* const kPrivileges[] = {
    nullptr,
    nullptr,
    "SeCreateTokenPrivilege",
    "SeAssignPrimaryTokenPrivilege",
    "SeLockMemoryPrivilege",
    "SeIncreaseQuotaPrivilege",
    "SeMachineAccountPrivilege",
    "SeTcbPrivilege",
    "SeSecurityPrivilege",
    "SeTakeOwnershipPrivilege",
    "SeLoadDriverPrivilege",
    "SeSystemProfilePrivilege",
    "SeSystemtimePrivilege",
    "SeProfileSingleProcessPrivilege",
    "SeIncreaseBasePriorityPrivilege",
    "SeCreatePagefilePrivilege",
    "SeCreatePermanentPrivilege",
    "SeBackupPrivilege",
    "SeRestorePrivilege",
    "SeShutdownPrivilege",
    "SeDebugPrivilege",
    "SeAuditPrivilege",
    "SeSystemEnvironmentPrivilege",
    "SeChangeNotifyPrivilege",
    "SeRemoteShutdownPrivilege",
    "SeUndockPrivilege",
    "SeSyncAgentPrivilege",
    "SeEnableDelegationPrivilege",
    "SeManageVolumePrivilege",
    "SeImpersonatePrivilege",
    "SeCreateGlobalPrivilege",
    "SeTrustedCredManAccessPrivilege",
    "SeRelabelPrivilege",
    "SeIncreaseWorkingSetPrivilege",
    "SeTimeZonePrivilege",
    "SeCreateSymbolicLinkPrivilege",
    "SeDelegateSessionUserImpersonatePrivilege",
};

bool EqualIgnoringCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

DWORD PrivilegeLuid(const std::string& name) {
    for (DWORD luid = 0; luid < sizeof(kPrivileges) / sizeof(kPrivileges[0]); ++luid) {
        if (kPrivileges[luid] != nullptr && EqualIgnoringCase(name, kPrivileges[luid])) {
            return luid;
        }
    }
    return 0;
}

std::vector<PrivilegeSettings> LocalSystemPrivileges() {
    // A service running as LocalSystem on Windows Server 2019: what it holds and what is on.
    return {
        {"SeAssignPrimaryTokenPrivilege", false},
        {"SeLockMemoryPrivilege", true},
        {"SeIncreaseQuotaPrivilege", false},
        {"SeTcbPrivilege", true},
        {"SeSecurityPrivilege", false},
        {"SeTakeOwnershipPrivilege", false},
        {"SeLoadDriverPrivilege", false},
        {"SeSystemProfilePrivilege", true},
        {"SeSystemtimePrivilege", false},
        {"SeProfileSingleProcessPrivilege", true},
        {"SeIncreaseBasePriorityPrivilege", true},
        {"SeCreatePagefilePrivilege", true},
        {"SeCreatePermanentPrivilege", true},
        {"SeBackupPrivilege", false},
        {"SeRestorePrivilege", false},
        {"SeShutdownPrivilege", false},
        {"SeDebugPrivilege", true},
        {"SeAuditPrivilege", true},
        {"SeSystemEnvironmentPrivilege", false},
        {"SeChangeNotifyPrivilege", true},
        {"SeUndockPrivilege", false},
        {"SeManageVolumePrivilege", false},
        {"SeImpersonatePrivilege", true},
        {"SeCreateGlobalPrivilege", true},
        {"SeIncreaseWorkingSetPrivilege", true},
        {"SeTimeZonePrivilege", true},
        {"SeCreateSymbolicLinkPrivilege", true},
        {"SeDelegateSessionUserImpersonatePrivilege", true},
    };
}

Token::Token(const AccountSettings& account) {
    for (const PrivilegeSettings& privilege : account.privileges) {
        LUID_AND_ATTRIBUTES entry = {};
        entry.Luid.LowPart = PrivilegeLuid(privilege.name);
        // What an account starts with enabled is enabled by default, as Windows marks it.
        entry.Attributes =
            privilege.enabled ? SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT : 0;
        auto at = m_privileges.begin();
        while (at != m_privileges.end() && at->Luid.LowPart < entry.Luid.LowPart) {
            ++at;
        }
        if (at == m_privileges.end() || at->Luid.LowPart != entry.Luid.LowPart) {
            m_privileges.insert(at, entry);
        }
    }
}

std::vector<BYTE> Token::Privileges() {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<BYTE> bytes(offsetof(TOKEN_PRIVILEGES, Privileges) +
                            m_privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
    DWORD count = static_cast<DWORD>(m_privileges.size());
    std::memcpy(bytes.data(), &count, sizeof(count));
    if (!m_privileges.empty()) {
        std::memcpy(bytes.data() + offsetof(TOKEN_PRIVILEGES, Privileges), m_privileges.data(),
                    m_privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
    }
    return bytes;
}

DWORD Token::Adjust(bool disableAll, const TOKEN_PRIVILEGES* newState, std::vector<BYTE>* previous,
                    DWORD room) {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<LUID_AND_ATTRIBUTES> next = m_privileges;
    constexpr DWORD kState = SE_PRIVILEGE_ENABLED;
    std::vector<LUID_AND_ATTRIBUTES> changed;
    DWORD result = ERROR_SUCCESS;
    auto change = [&](LUID_AND_ATTRIBUTES& held, DWORD attributes) {
        if ((held.Attributes & kState) != (attributes & kState)) {
            changed.push_back(held);
            held.Attributes = (held.Attributes & ~kState) | (attributes & kState);
        }
    };
    if (disableAll) {
        for (LUID_AND_ATTRIBUTES& held : next) {
            change(held, 0);
        }
    } else {
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES& wanted = newState->Privileges[i];
            bool found = false;
            for (size_t k = 0; k < next.size(); ++k) {
                LUID_AND_ATTRIBUTES& held = next[k];
                if (held.Luid.LowPart != wanted.Luid.LowPart ||
                    held.Luid.HighPart != wanted.Luid.HighPart) {
                    continue;
                }
                found = true;
                if (wanted.Attributes & SE_PRIVILEGE_REMOVED) {
                    changed.push_back(held);
                    next.erase(next.begin() + k);
                } else {
                    change(held, wanted.Attributes);
                }
                break;
            }
            if (!found) {
                result = ERROR_NOT_ALL_ASSIGNED;
            }
        }
    }
    if (previous != nullptr) {
        previous->assign(
            offsetof(TOKEN_PRIVILEGES, Privileges) + changed.size() * sizeof(LUID_AND_ATTRIBUTES),
            0);
        if (previous->size() > room) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        DWORD count = static_cast<DWORD>(changed.size());
        std::memcpy(previous->data(), &count, sizeof(count));
        if (!changed.empty()) {
            std::memcpy(previous->data() + offsetof(TOKEN_PRIVILEGES, Privileges), changed.data(),
                        changed.size() * sizeof(LUID_AND_ATTRIBUTES));
        }
    }
    m_privileges = std::move(next);
    return result;
}

std::shared_ptr<Token> ProcessToken() {
    // Keyed by the machine's directory, so that a test's Machine::Use starts a process with a
    // fresh token (a new machine object may reuse an old one's address).
    static std::mutex* lock = new std::mutex();
    static std::string* owner = new std::string();
    static std::shared_ptr<Token>* token = new std::shared_ptr<Token>();
    std::lock_guard<std::mutex> hold(*lock);
    Machine& machine = Machine::Get();
    if (!*token || *owner != machine.Dir()) {
        *token = std::make_shared<Token>(machine.Settings().account);
        *owner = machine.Dir();
    }
    return *token;
}

}  // namespace sim
