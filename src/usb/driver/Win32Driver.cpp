#include "usb/driver/Win32Driver.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// windows.h first: the other platform headers build on it.
// clang-format off
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace zelmora {

namespace {

// A listing whose entries keep failing for another reason than the end of
// the list is given up after this many member indices.
constexpr DWORD kMaxMemberIndex = 4096;

HANDLE ToHandle(DriverHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}

GUID ToGuid(const Guid& guid) {
    GUID result{};
    result.Data1 = guid.data1;
    result.Data2 = guid.data2;
    result.Data3 = guid.data3;
    std::copy(guid.data4.begin(), guid.data4.end(), result.Data4);
    return result;
}

// Buffer sizes of the platform calls are 32-bit.
bool FitsDword(std::size_t size) {
    return size <= std::numeric_limits<DWORD>::max();
}

// Sends a window the notifications that a DEV_BROADCAST_… filter selects.
NotificationHandle RegisterWindow(NotifyWindow window, void* filter) {
    HDEVNOTIFY notification =
        RegisterDeviceNotificationA(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)),
                                    filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return NotificationHandle{reinterpret_cast<std::uintptr_t>(notification)};
}

} // namespace

// An OVERLAPPED and its event for one request on a handle. They must stay
// where they are until the request has ended, which End ensures.
class Win32Driver::RecordState final : public OverlappedState {
public:
    explicit RecordState(HANDLE handle) : m_handle(handle) {
        m_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    RecordState(const RecordState&) = delete;
    RecordState& operator=(const RecordState&) = delete;
    ~RecordState() override {
        End();
        if (m_overlapped.hEvent) {
            CloseHandle(m_overlapped.hEvent);
        }
    }

    bool HasEvent() const { return m_overlapped.hEvent != nullptr; }
    OVERLAPPED* Overlapped() { return &m_overlapped; }
    void Start(bool started) { m_running = started; }

    WaitOutcome Wait(std::uint32_t timeoutMs) override {
        if (!m_running) {
            return WaitOutcome::Signalled;
        }
        switch (WaitForSingleObject(m_overlapped.hEvent, timeoutMs)) {
        case WAIT_OBJECT_0:
            return WaitOutcome::Signalled;
        case WAIT_TIMEOUT:
            return WaitOutcome::TimedOut;
        default:
            return WaitOutcome::Failed;
        }
    }

    void End() override {
        if (!m_running) {
            return;
        }
        DWORD bytes = 0;
        if (!GetOverlappedResult(m_handle, &m_overlapped, &bytes, FALSE) &&
            GetLastError() == ERROR_IO_INCOMPLETE) {
            CancelIoEx(m_handle, &m_overlapped);
            // Waits on the event until the driver has let go of the block.
            GetOverlappedResult(m_handle, &m_overlapped, &bytes, TRUE);
        }
        m_running = false;
    }

    bool Result(std::uint32_t& bytesReturned) override {
        DWORD bytes = 0;
        const BOOL succeeded = GetOverlappedResult(m_handle, &m_overlapped, &bytes, FALSE);
        bytesReturned = bytes;
        return succeeded != FALSE;
    }

private:
    HANDLE m_handle;
    OVERLAPPED m_overlapped{};
    bool m_running = false;
};

std::optional<std::vector<std::string>> Win32Driver::ListDevicePaths(const Guid& interfaceClass) {
    const GUID guid = ToGuid(interfaceClass);
    HDEVINFO list =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::vector<std::string> paths;
    for (DWORD index = 0; index < kMaxMemberIndex; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(list, nullptr, &guid, index, &data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                break;
            }
            continue;
        }
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            continue;
        }
        // The detail record is a header followed by the path; its size field
        // is the header's alone.
        std::vector<std::uint8_t> buffer(required + 1, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiGetDeviceInterfaceDetailA(list, &data, detail, required, nullptr, &info)) {
            continue;
        }
        const std::size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        const char* path = reinterpret_cast<const char*>(buffer.data() + pathOffset);
        paths.emplace_back(path, strnlen(path, buffer.size() - pathOffset));
    }
    SetupDiDestroyDeviceInfoList(list);
    return paths;
}

DriverHandle Win32Driver::OpenDevice(const std::string& path) {
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return kInvalidDriverHandle;
    }
    return DriverHandle{reinterpret_cast<std::uintptr_t>(handle)};
}

bool Win32Driver::CloseDevice(DriverHandle handle) {
    if (handle == kInvalidDriverHandle) {
        return false;
    }
    return CloseHandle(ToHandle(handle)) != FALSE;
}

bool Win32Driver::SyncRequest(DriverHandle handle, std::uint32_t code,
                              std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                              std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    if (!FitsDword(in.size()) || !FitsDword(out.size())) {
        return false;
    }
    RecordState state(ToHandle(handle));
    if (!state.HasEvent()) {
        return false;
    }
    // The driver takes a buffered request's input before it writes any
    // output, so `in` and `out` may be the same bytes.
    const BOOL done = DeviceIoControl(ToHandle(handle), code, const_cast<std::uint8_t*>(in.data()),
                                      static_cast<DWORD>(in.size()), out.data(),
                                      static_cast<DWORD>(out.size()), nullptr, state.Overlapped());
    if (!done && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    state.Start(true);
    DWORD bytes = 0;
    const BOOL succeeded = GetOverlappedResult(ToHandle(handle), state.Overlapped(), &bytes, TRUE);
    state.Start(false);
    bytesReturned = bytes;
    return succeeded != FALSE;
}

SubmitResult Win32Driver::StartRequest(DriverHandle handle, std::uint32_t code,
                                       std::span<std::uint8_t> block, OverlappedRecord& record) {
    if (!FitsDword(block.size())) {
        return {SubmitOutcome::Failed, kErrorInvalidParameter};
    }
    auto state = std::make_unique<RecordState>(ToHandle(handle));
    if (!state->HasEvent()) {
        return {SubmitOutcome::Failed, static_cast<std::uint32_t>(GetLastError())};
    }
    const DWORD size = static_cast<DWORD>(block.size());
    const BOOL done = DeviceIoControl(ToHandle(handle), code, block.data(), size, block.data(),
                                      size, nullptr, state->Overlapped());
    SubmitResult result;
    if (done) {
        // The last error is stale after a success: a request that completed
        // at once reports 0.
        result = {SubmitOutcome::Completed, kErrorSuccess};
    } else {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return {SubmitOutcome::Failed, static_cast<std::uint32_t>(error)};
        }
        result = {SubmitOutcome::Pending, kErrorIoPending};
    }
    state->Start(true);
    record.Attach(std::move(state));
    return result;
}

NotificationHandle Win32Driver::RegisterInterfaceNotification(NotifyWindow window,
                                                              const Guid& interfaceClass) {
    if (window == kNoNotifyWindow) {
        return kNoNotification;
    }
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = ToGuid(interfaceClass);
    return RegisterWindow(window, &filter);
}

NotificationHandle Win32Driver::RegisterHandleNotification(NotifyWindow window,
                                                           DriverHandle handle) {
    if (window == kNoNotifyWindow) {
        return kNoNotification;
    }
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = ToHandle(handle);
    return RegisterWindow(window, &filter);
}

bool Win32Driver::UnregisterNotification(NotificationHandle notification) {
    if (notification == kNoNotification) {
        return false;
    }
    return UnregisterDeviceNotification(
               reinterpret_cast<HDEVNOTIFY>(static_cast<std::uintptr_t>(notification))) != FALSE;
}

} // namespace zelmora
