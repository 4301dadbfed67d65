#include "Machine/Services/ServiceHost.h"

#include "Machine/Clock/Clock.h"
#include "Machine/Files/FileSystem.h"
#include "Machine/Settings/Json.h"
#include "Machine/Services/LineSocket.h"
#include "Machine/Machine.h"
#include "Machine/Services/ServiceDispatcher.h"
#include "Machine/Services/Services.h"

#include <winerror.h>
#include <winsvc.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace sim {

namespace {

// How long the host waits for a dispatcher to connect and for a handler to return, as the
// Windows service control manager does.
constexpr auto kRequestTimeout = std::chrono::seconds(30);

// The control a status accepts, as a SERVICE_ACCEPT_ bit; 0 for controls sent whatever it accepts.
DWORD AcceptBit(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return SERVICE_ACCEPT_STOP;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            return SERVICE_ACCEPT_PAUSE_CONTINUE;
        case SERVICE_CONTROL_SHUTDOWN:
            return SERVICE_ACCEPT_SHUTDOWN;
        case SERVICE_CONTROL_PARAMCHANGE:
            return SERVICE_ACCEPT_PARAMCHANGE;
        case SERVICE_CONTROL_NETBINDADD:
        case SERVICE_CONTROL_NETBINDREMOVE:
        case SERVICE_CONTROL_NETBINDENABLE:
        case SERVICE_CONTROL_NETBINDDISABLE:
            return SERVICE_ACCEPT_NETBINDCHANGE;
        case SERVICE_CONTROL_PRESHUTDOWN:
            return SERVICE_ACCEPT_PRESHUTDOWN;
        default:
            return 0;
    }
}

class Host {
public:
    Host(std::u16string name, pid_t child) : m_name(std::move(name)), m_child(child) {
        m_status.state = SERVICE_START_PENDING;  // until the service says otherwise
        m_status.processId = static_cast<DWORD>(child);
    }

    void Serve(int fd) {
        std::string line;
        if (!ReadLine(fd, &line)) {
            return;
        }
        std::istringstream in(line);
        std::string word;
        in >> word;
        if (word == "query") {
            std::lock_guard<std::mutex> hold(m_lock);
            SendLine(fd, FormatStatus(m_status));
        } else if (word == "control") {
            DWORD code = 0;
            in >> code;
            ServiceStatus status;
            DWORD error = Control(code, &status);
            SendLine(fd, std::to_string(error) + " " + FormatStatus(status));
        } else if (word == "dispatcher") {
            ServeDispatcher(fd);
        } else if (word == "reporter") {
            ServeReporter(fd);
        }
    }

    // Waits for the dispatcher to connect: ERROR_SUCCESS, or why the start failed.
    DWORD WaitForDispatcher() {
        std::unique_lock<std::mutex> hold(m_lock);
        m_changed.wait_for(hold, kRequestTimeout,
                           [&] { return m_dispatcher >= 0 || m_exited || m_dispatcherGone; });
        if (m_dispatcher >= 0) {
            return ERROR_SUCCESS;
        }
        return m_exited ? ERROR_PROCESS_ABORTED : ERROR_SERVICE_REQUEST_TIMEOUT;
    }

    void Exited() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_exited = true;
        if (m_status.state != SERVICE_STOPPED) {
            m_status = ServiceStatus();
            m_status.exitCode = ERROR_PROCESS_ABORTED;
            Record(m_status, "scm");
        }
        m_status.processId = 0;
        m_changed.notify_all();
    }

private:
    void ServeDispatcher(int fd) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_dispatcher >= 0) {
                return;  // one dispatcher per process
            }
            m_dispatcher = fd;
        }
        SendLine(fd, "start " + Utf16ToUtf8(m_name));
        m_changed.notify_all();
        std::string line;
        while (ReadLine(fd, &line)) {
            std::lock_guard<std::mutex> hold(m_lock);
            if (line.compare(0, 5, "done ") == 0) {
                // What a broken dispatcher sends reads as a failed start, never as a throw.
                char* end = nullptr;
                unsigned long result = strtoul(line.c_str() + 5, &end, 10);
                m_result = *end == 0 && end != line.c_str() + 5 ? static_cast<DWORD>(result)
                                                                : ERROR_SERVICE_NO_THREAD;
                m_done = true;
                m_changed.notify_all();
            }
        }
        std::lock_guard<std::mutex> hold(m_lock);
        m_dispatcherGone = true;
        m_changed.notify_all();
    }

    void ServeReporter(int fd) {
        SendLine(fd, "ok");
        std::string line;
        while (ReadLine(fd, &line)) {
            ServiceStatus status;
            if (line.compare(0, 7, "status ") != 0 || !ParseStatus(line.substr(7), &status)) {
                SendLine(fd, "bad");
                continue;
            }
            {
                std::lock_guard<std::mutex> hold(m_lock);
                status.processId =
                    status.state == SERVICE_STOPPED ? 0 : static_cast<DWORD>(m_child);
                m_status = status;
                Record(status, "service");
                m_changed.notify_all();
            }
            SendLine(fd, "ok");
        }
    }

    DWORD Control(DWORD code, ServiceStatus* status) {
        std::lock_guard<std::mutex> one(m_controlLock);  // one control at a time
        std::unique_lock<std::mutex> hold(m_lock);
        *status = m_status;
        if (m_exited || m_status.state == SERVICE_STOPPED) {
            return ERROR_SERVICE_NOT_ACTIVE;
        }
        bool pending =
            m_status.state == SERVICE_START_PENDING || m_status.state == SERVICE_STOP_PENDING ||
            m_status.state == SERVICE_CONTINUE_PENDING || m_status.state == SERVICE_PAUSE_PENDING;
        if (m_dispatcher < 0 || m_dispatcherGone ||
            (pending && code != SERVICE_CONTROL_INTERROGATE)) {
            return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        }
        DWORD bit = AcceptBit(code);
        if (bit != 0 && (m_status.controlsAccepted & bit) == 0) {
            return ERROR_INVALID_SERVICE_CONTROL;
        }
        m_done = false;
        if (!SendLine(m_dispatcher, "control " + std::to_string(code))) {
            return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        }
        bool answered =
            m_changed.wait_for(hold, kRequestTimeout, [&] { return m_done || m_dispatcherGone; });
        *status = m_status;
        if (!answered) {
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        return m_done ? m_result : ERROR_SUCCESS;
    }

    void Record(const ServiceStatus& status, const char* from) {
        Clock& clock = Machine::Get().Clock();
        SYSTEMTIME t = clock.LocalTime();
        char time[64];
        std::snprintf(time, sizeof(time), "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t.wYear, t.wMonth,
                      t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
        JsonLine line;
        line.Add("time", time)
            .Add("tick", static_cast<long long>(clock.TickCount()))
            .Add("service", Utf16ToUtf8(m_name))
            .Add("process", static_cast<long long>(m_child))
            .Add("state", static_cast<long long>(status.state))
            .Add("stateName", StateName(status.state))
            .Add("controlsAccepted", static_cast<long long>(status.controlsAccepted))
            .Add("checkPoint", static_cast<long long>(status.checkPoint))
            .Add("waitHint", static_cast<long long>(status.waitHint))
            .Add("exitCode", static_cast<long long>(status.exitCode))
            .Add("serviceExitCode", static_cast<long long>(status.specificExitCode))
            .Add("from", from);
        Machine::Get().AppendRecord("scm.jsonl", line.Text());
    }

    const std::u16string m_name;
    const pid_t m_child;
    std::mutex m_lock;
    std::mutex m_controlLock;
    std::condition_variable m_changed;
    ServiceStatus m_status;
    int m_dispatcher = -1;
    bool m_dispatcherGone = false;
    bool m_exited = false;
    bool m_done = false;
    DWORD m_result = 0;
};

void Tell(UniqueFd ready, DWORD error) {
    if (ready) {
        std::string line = std::to_string(error) + "\n";
        ssize_t written = write(ready.Get(), line.data(), line.size());
        (void)written;
    }
}

// The host's socket while the service's process lives: each connection is served on a thread of
// its own.
class Connections {
public:
    Connections(Host& host, UniqueFd listener) : m_host(host), m_listener(std::move(listener)) {
        OpenPipe(&m_wakeRead, &m_wakeWrite, O_CLOEXEC);
        m_acceptor = std::thread([this] { AcceptUntilWoken(); });
    }

    // The service's process has ended: accept no more.
    void Wake() {
        char byte = 1;
        ssize_t written = write(m_wakeWrite.Get(), &byte, 1);
        (void)written;
    }

    // Nobody answers on the socket any more. Only the reading side of the open connections is
    // shut, so that a control the service answered before it ended still gets its reply out (the
    // stop that ends the process is the usual one).
    void Close(const std::string& socketPath) {
        m_acceptor.join();
        m_listener.Reset();
        unlink(socketPath.c_str());
        {
            std::lock_guard<std::mutex> hold(m_lock);
            for (int fd : m_open) {
                shutdown(fd, SHUT_RD);
            }
        }
        for (std::thread& thread : m_threads) {
            thread.join();
        }
    }

private:
    void AcceptUntilWoken() {
        for (;;) {
            pollfd polled[2] = {{m_listener.Get(), POLLIN, 0}, {m_wakeRead.Get(), POLLIN, 0}};
            if (poll(polled, 2, -1) < 0) {
                continue;
            }
            if (polled[1].revents != 0) {
                return;
            }
            int fd = accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard<std::mutex> hold(m_lock);
                m_open.push_back(fd);
                m_threads.emplace_back([this, fd] { Serve(UniqueFd(fd)); });
            }
        }
    }

    void Serve(UniqueFd fd) {
        m_host.Serve(fd.Get());
        std::lock_guard<std::mutex> hold(m_lock);
        m_open.erase(std::find(m_open.begin(), m_open.end(), fd.Get()));
    }

    Host& m_host;
    UniqueFd m_listener;
    UniqueFd m_wakeRead, m_wakeWrite;
    std::thread m_acceptor;
    std::mutex m_lock;
    std::vector<int> m_open;  // connections open now, owned by their threads
    std::vector<std::thread> m_threads;
};

// The service to start and its executable: ERROR_SUCCESS, or why it cannot start.
DWORD FindService(const std::u16string& service, ServiceConfig* config, std::string* image,
                  std::string* arguments) {
    if (Machine::Get().InMemory()) {
        return ERROR_FILE_NOT_FOUND;
    }
    DWORD error = services::Find(service, config);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (config->markedForDelete) {
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    }
    if (config->start == SERVICE_DISABLED) {
        return ERROR_SERVICE_DISABLED;
    }
    if (services::Hosted(config->name)) {
        return ERROR_SERVICE_ALREADY_RUNNING;
    }
    return FindImage(config->imagePath, image, arguments);
}

// The strings as a null-terminated array, as exec takes them.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// This process's environment for the service, which finds its machine and its host through it.
std::vector<std::string> ServiceEnvironment(const std::string& socketPath) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "TARVIK_MACHINE=", 15) != 0 &&
            std::strncmp(*e, "TARVIK_SERVICE_HOST=", 20) != 0) {
            environment.push_back(*e);
        }
    }
    environment.push_back(std::string(Machine::kEnvironmentVariable) + "=" + Machine::Get().Dir());
    environment.push_back(std::string(dispatcher::kHostVariable) + "=" + socketPath);
    return environment;
}

// Starts the service's executable; -1 when it cannot be started.
pid_t Spawn(const std::string& image, const std::string& arguments, const std::string& socketPath) {
    std::vector<std::string> args{image};
    std::istringstream words(arguments);
    for (std::string word; words >> word;) {
        args.push_back(word);
    }
    std::vector<std::string> environment = ServiceEnvironment(socketPath);
    std::vector<char*> argv = Pointers(args);
    std::vector<char*> envp = Pointers(environment);
    pid_t child = -1;
    int failed = posix_spawn(&child, image.c_str(), nullptr, nullptr, argv.data(), envp.data());
    return failed == 0 ? child : -1;
}

// Hosts the started service until its process has ended; the start's result.
DWORD HostProcess(const std::u16string& name, pid_t child, UniqueFd listener, UniqueFd ready,
                  const std::string& socketPath) {
    Host host(name, child);
    Connections connections(host, std::move(listener));
    std::thread waiter([&] {
        int ignored;
        while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
        }
        host.Exited();
        connections.Wake();
    });
    DWORD started = host.WaitForDispatcher();
    if (started != ERROR_SUCCESS) {
        kill(child, SIGKILL);
    }
    Tell(std::move(ready), started);
    waiter.join();
    connections.Close(socketPath);
    return started;
}

}  // namespace

DWORD FindImage(const std::u16string& imagePath, std::string* hostPath, std::string* arguments) {
    FileSystem& files = Machine::Get().Files();
    auto exists = [&](const std::u16string& candidate) {
        struct stat info;
        return files.HostPath(candidate, hostPath) == ERROR_SUCCESS &&
               stat(hostPath->c_str(), &info) == 0 && S_ISREG(info.st_mode);
    };
    if (!imagePath.empty() && imagePath[0] == u'"') {
        size_t end = imagePath.find(u'"', 1);
        std::u16string path = imagePath.substr(1, end == std::u16string::npos ? end : end - 1);
        *arguments = end == std::u16string::npos ? "" : Utf16ToUtf8(imagePath.substr(end + 1));
        return exists(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    for (size_t blank = imagePath.find(u' ');; blank = imagePath.find(u' ', blank + 1)) {
        std::u16string path = imagePath.substr(0, blank);
        if (exists(path) || exists(path + u".exe")) {
            *arguments = blank == std::u16string::npos ? "" : Utf16ToUtf8(imagePath.substr(blank));
            return ERROR_SUCCESS;
        }
        if (blank == std::u16string::npos) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
}

DWORD RunServiceHost(const std::u16string& service, UniqueFd ready) {
    ServiceConfig config;
    std::string image, arguments;
    DWORD error = FindService(service, &config, &image, &arguments);
    std::string socketPath = services::HostSocketPath(Machine::Get().Dir(), config.name);
    UniqueFd listener;
    if (error == ERROR_SUCCESS) {
        listener = ListenLocal(socketPath);
        error = listener ? ERROR_SUCCESS : ERROR_SERVICE_NO_THREAD;
    }
    pid_t child = error == ERROR_SUCCESS ? Spawn(image, arguments, socketPath) : -1;
    if (error == ERROR_SUCCESS && child < 0) {
        listener.Reset();
        unlink(socketPath.c_str());
        error = ERROR_FILE_NOT_FOUND;
    }
    if (error != ERROR_SUCCESS) {
        Tell(std::move(ready), error);
        return error;
    }
    DWORD started =
        HostProcess(config.name, child, std::move(listener), std::move(ready), socketPath);
    services::RemoveIfMarked(config.name);
    return started;
}

}  // namespace sim
