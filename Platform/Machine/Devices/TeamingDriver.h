// The simulated teaming driver and its devices.
//
// One device per team adapter (an adapter the protocol's MiniportBindingList names, Devices.h),
// named by its network device interface name (ROOT#NET#0000#{AD498944-...}); it answers NDIS
// queries through IOCTL_NDIS_QUERY_GLOBAL_STATS. A team declared in machine.json with a private
// control device adds that device, named as the team says; it takes private OID requests
// (PRIVATE_OID_REQUEST: Oid, Status, Length, then the data) through control code 0x00172800.
// Which devices exist is read from the registry when a device is opened; how the driver answers
// (the private device's name, the status) comes from machine.json's team with that adapter
// (a team adapter that machine.json does not declare answers success and has no private device).
//
// Every request a device receives is appended to the machine's driver-requests.jsonl.
#pragma once

#include "Machine/Processes/Handles.h"
#include "Machine/Settings/Settings.h"

#include <string>
#include <vector>

namespace sim {

constexpr DWORD kOidInterfaceList = 0xFF010101;
constexpr DWORD kOidPrivateDeviceName = 0xFF0201A9;
constexpr DWORD kIoctlQueryGlobalStats = 0x00170002;
constexpr DWORD kIoctlPrivateOidRequest = 0x00172800;
constexpr DWORD kInterfaceListSize = 2608;  // marker, count, 260 entries of 10 bytes
constexpr DWORD kInterfaceListSlots = 260;
constexpr DWORD kPrivateRequestHeader = 12;
constexpr DWORD kNdisStatusFailure = 0xC0000001;
constexpr DWORD kNdisStatusNotSupported = 0xC00000BB;
constexpr DWORD kNdisStatusInvalidLength = 0xC0010014;

// An open device of the teaming driver, as a handle names it.
class DeviceObject : public KernelObject {
public:
    DeviceObject(std::u16string path, bool isPrivate, TeamSettings team, DWORD access)
        : m_path(std::move(path)),
          m_private(isPrivate),
          m_team(std::move(team)),
          m_access(access) {}

    const std::u16string& Path() const { return m_path; }  // as the opener spelt it
    bool IsPrivate() const { return m_private; }
    const TeamSettings& Team() const { return m_team; }
    DWORD Access() const { return m_access; }

private:
    const std::u16string m_path;
    const bool m_private;
    const TeamSettings m_team;
    const DWORD m_access;
};

// Opens `path` (\\.\name or \\?\name); ERROR_FILE_NOT_FOUND when no such device exists.
DWORD OpenDevice(const std::u16string& path, DWORD access, std::shared_ptr<DeviceObject>* device);

// One I/O control request; `out` may be `in` (buffered requests share one buffer). Records it.
DWORD ControlDevice(const DeviceObject& device, DWORD code, const void* in, DWORD inSize, void* out,
                    DWORD outSize, DWORD* returned);

}  // namespace sim
