#include "Machine/Devices/TeamingDriver.h"

#include "Machine/Devices/Devices.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"
#include "Machine/Registry/RegistryStore.h"

#include <winerror.h>
#include <winreg.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace sim {

namespace {

constexpr DWORD kNdisStatusBufferTooShort = 0xC0010016;

// What the driver did with one request, for the caller and for the record.
struct Answer {
    DWORD error = ERROR_SUCCESS;
    std::optional<DWORD> oid;
    std::optional<DWORD> status;  // none: refused before an OID was handled
    std::vector<BYTE> payload;    // what the request carried to the driver
    DWORD returned = 0;
};

DWORD ReadDword(const BYTE* bytes) {
    return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

void WriteDword(BYTE* bytes, DWORD value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<BYTE>(value >> (8 * i));
    }
}

// How the NDIS status of a query reaches the caller of DeviceIoControl.
DWORD ErrorOfStatus(DWORD status) {
    switch (status) {
        case 0:
            return ERROR_SUCCESS;
        case kNdisStatusNotSupported:
            return ERROR_NOT_SUPPORTED;
        case kNdisStatusBufferTooShort:
        case kNdisStatusInvalidLength:
            return ERROR_INSUFFICIENT_BUFFER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string HexBytes(const BYTE* bytes, size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// The interface list decoded: the entries its count names, as far as the payload holds them.
std::string ListJson(const std::vector<BYTE>& payload) {
    DWORD count = ReadDword(&payload[4]);
    size_t shown = std::min<size_t>({count, kInterfaceListSlots, (payload.size() - 8) / 10});
    std::string entries = "[";
    for (size_t i = 0; i < shown; ++i) {
        const BYTE* entry = &payload[8 + 10 * i];
        JsonLine line;
        line.Add("mac", HexBytes(entry, 6))
            .Add("inUse", static_cast<long long>(entry[6]))
            .Add("vlanValid", static_cast<long long>(entry[7]))
            .Add("vlanId", static_cast<long long>(entry[8] | entry[9] << 8));
        entries += (i ? "," : "") + line.Text();
    }
    JsonLine list;
    list.Add("marker", static_cast<long long>(ReadDword(&payload[0])))
        .Add("count", static_cast<long long>(count))
        .AddRaw("entries", entries + "]");
    return list.Text();
}

void Record(const DeviceObject& device, DWORD code, const Answer& answer) {
    JsonLine record;
    record.Add("process", static_cast<long long>(getpid()))
        .Add("device", Utf16ToUtf8(device.Path()))
        .Add("adapter", Utf16ToUtf8(device.Team().adapter))
        .Add("code", Hex(code));
    if (answer.oid) {
        record.Add("oid", Hex(*answer.oid));
    } else {
        record.AddRaw("oid", "null");
    }
    record.Add("payload", HexBytes(answer.payload.data(), answer.payload.size()));
    if (answer.status) {
        record.Add("status", Hex(*answer.status));
    } else {
        record.AddRaw("status", "null");
    }
    record.Add("error", static_cast<long long>(answer.error))
        .Add("returned", static_cast<long long>(answer.returned));
    if (answer.oid == kOidInterfaceList && answer.payload.size() >= 8) {
        record.AddRaw("list", ListJson(answer.payload));
    }
    Machine::Get().AppendRecord("driver-requests.jsonl", record.Text());
}

// An adapter's device: NDIS queries. METHOD_OUT_DIRECT maps the caller's output buffer, so the
// driver sees what it holds: the interface list when no private device carries it.
void QueryAdapter(const DeviceObject& device, const std::vector<BYTE>& in, BYTE* out, DWORD outSize,
                  Answer* answer) {
    if (in.size() < 4) {
        answer->error = ERROR_INVALID_PARAMETER;
        return;
    }
    answer->oid = ReadDword(in.data());
    const TeamSettings& team = device.Team();
    if (*answer->oid == kOidPrivateDeviceName && team.privateDevice) {
        const std::string& name = *team.privateDevice;
        if (outSize < name.size() + 1) {
            answer->status = kNdisStatusBufferTooShort;
        } else {
            std::memcpy(out, name.c_str(), name.size() + 1);
            answer->returned = static_cast<DWORD>(name.size() + 1);
            answer->status = 0;
        }
    } else if (*answer->oid == kOidInterfaceList) {
        answer->payload.assign(out, out + outSize);
        if (team.ioctlError != 0) {
            answer->error = team.ioctlError;
            return;
        }
        answer->status = outSize < kInterfaceListSize ? kNdisStatusBufferTooShort : team.status;
    } else {
        answer->status = kNdisStatusNotSupported;
    }
    answer->error = ErrorOfStatus(*answer->status);
}

// The private control device: PRIVATE_OID_REQUEST in, the same envelope out with Status and
// Length; the list is taken, nothing is written back into Data.
void PrivateRequest(const DeviceObject& device, const std::vector<BYTE>& in, BYTE* out,
                    DWORD outSize, Answer* answer) {
    if (in.size() < kPrivateRequestHeader) {
        answer->error = ERROR_INVALID_PARAMETER;
        return;
    }
    if (outSize < kPrivateRequestHeader) {
        answer->error = ERROR_INSUFFICIENT_BUFFER;
        return;
    }
    answer->oid = ReadDword(in.data());
    answer->payload.assign(in.begin() + kPrivateRequestHeader, in.end());
    DWORD length = 0;
    if (*answer->oid == kOidInterfaceList) {
        if (device.Team().ioctlError != 0) {
            answer->error = device.Team().ioctlError;
            return;
        }
        if (answer->payload.size() < kInterfaceListSize) {
            answer->status = kNdisStatusInvalidLength;
            length = kInterfaceListSize;
        } else {
            answer->status = device.Team().status;
        }
    } else {
        answer->status = kNdisStatusNotSupported;
    }
    WriteDword(out, *answer->oid);
    WriteDword(out + 4, *answer->status);
    WriteDword(out + 8, length);
    answer->returned = kPrivateRequestHeader;
}

bool Named(const std::u16string& name, const std::u16string& device) {
    return !device.empty() && RegNamesEqual(name, device);
}

}  // namespace

DWORD OpenDevice(const std::u16string& path, DWORD access, std::shared_ptr<DeviceObject>* device) {
    if (path.size() <= 4 || path[0] != u'\\' || path[1] != u'\\' ||
        (path[2] != u'.' && path[2] != u'?') || path[3] != u'\\') {
        return ERROR_FILE_NOT_FOUND;
    }
    std::u16string name = path.substr(4);
    std::vector<TeamAdapterDevice> adapters;
    Machine::Get().Registry().Read([&](const RegKey& tree) { adapters = ListTeamAdapters(tree); });
    const std::vector<TeamSettings>& teams = Machine::Get().Settings().teams;
    for (const TeamAdapterDevice& adapter : adapters) {
        TeamSettings team;
        team.adapter = adapter.guid;
        for (const TeamSettings& declared : teams) {
            if (RegNamesEqual(declared.adapter, adapter.guid)) {
                team = declared;
            }
        }
        std::u16string privateName =
            team.privateDevice ? Utf8ToUtf16(*team.privateDevice) : std::u16string();
        if (Named(name, adapter.interfaceName) || Named(name, privateName)) {
            bool isPrivate = Named(name, privateName);
            *device = std::make_shared<DeviceObject>(path, isPrivate, std::move(team), access);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

DWORD ControlDevice(const DeviceObject& device, DWORD code, const void* in, DWORD inSize, void* out,
                    DWORD outSize, DWORD* returned) {
    *returned = 0;
    // The I/O manager checks the access the code asks for before the driver sees the request.
    DWORD needs = (code >> 14) & 3;
    bool canRead = (device.Access() & (GENERIC_READ | GENERIC_ALL | 0x0001)) != 0;
    bool canWrite = (device.Access() & (GENERIC_WRITE | GENERIC_ALL | 0x0002)) != 0;
    if (((needs & 1) && !canRead) || ((needs & 2) && !canWrite)) {
        return ERROR_ACCESS_DENIED;
    }
    // Buffered: the input is taken before anything is written into a buffer it may share.
    const BYTE* inBytes = static_cast<const BYTE*>(in);
    std::vector<BYTE> input(inBytes, inBytes + (in ? inSize : 0));
    BYTE* outBytes = static_cast<BYTE*>(out);
    Answer answer;
    if (device.IsPrivate() && code == kIoctlPrivateOidRequest) {
        PrivateRequest(device, input, outBytes, out ? outSize : 0, &answer);
    } else if (!device.IsPrivate() && code == kIoctlQueryGlobalStats) {
        QueryAdapter(device, input, outBytes, out ? outSize : 0, &answer);
    } else {
        answer.error = ERROR_INVALID_FUNCTION;
    }
    if (answer.error == ERROR_SUCCESS) {
        *returned = answer.returned;
    } else {
        answer.returned = 0;
    }
    Record(device, code, answer);
    return answer.error;
}

}  // namespace sim
