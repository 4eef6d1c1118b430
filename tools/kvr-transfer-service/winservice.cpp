#include "winservice.h"

#include "interrupt.h"
#include "serviceconfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

namespace {

// What a stop may take: the receiver looks at its stop every 50 ms.
constexpr DWORD StopWaitHintMs = 10000;
constexpr DWORD RestartDelaysMs[] = {5000, 10000, 60000};
constexpr DWORD FailureCountResetSeconds = 24 * 60 * 60;
constexpr int UninstallStopWaitMs = 20000;

const wchar_t DisplayName[] = L"KVR file receiver";
const wchar_t Description[] = L"Receives the files a KVR controller sends into a folder, "
                              L"connecting again whenever the controller goes away. Settings: "
                              L"%ProgramData%\\kvr-file-transfer\\receiver.ini.";

// Between the dispatcher's thread (serviceMain, onControl) and the main
// thread that runs the work.
struct Shared
{
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool dispatcherFailed = false;
    DWORD dispatcherError = 0;
    bool finished = false;
    int exitCode = 0;
};
Shared shared;
SERVICE_STATUS_HANDLE statusHandle = nullptr;

void report(DWORD state, int exitCode = 0, DWORD waitHintMs = 0)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    // A failure is the receiver's own exit code, which restarts the service.
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = DWORD(exitCode);
    status.dwWaitHint = waitHintMs;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        report(SERVICE_STOP_PENDING, 0, StopWaitHintMs);
        Interrupt::request();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Running before anything else: the service manager gives a start 30 s,
// and a controller that reboots takes longer to answer.
void WINAPI serviceMain(DWORD, LPWSTR *)
{
    statusHandle = RegisterServiceCtrlHandlerExW(WinService::Name, onControl, nullptr);
    std::unique_lock<std::mutex> lock(shared.mutex);
    if (!statusHandle) {
        shared.dispatcherFailed = true;
        shared.dispatcherError = GetLastError();
        shared.changed.notify_all();
        return;
    }
    report(SERVICE_RUNNING);
    shared.started = true;
    shared.changed.notify_all();
    shared.changed.wait(lock, [] { return shared.finished; });
    report(SERVICE_STOPPED, shared.exitCode);
}

void dispatch()
{
    // The table's name is not written to, whatever the type says.
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(WinService::Name), serviceMain},
                                    {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table))
        return;
    const std::lock_guard<std::mutex> lock(shared.mutex);
    shared.dispatcherFailed = true;
    shared.dispatcherError = GetLastError();
    shared.changed.notify_all();
}

QString systemError(const char *what, DWORD code = GetLastError())
{
    return QStringLiteral("%1 failed: %2").arg(QLatin1String(what), qt_error_string(int(code)));
}

std::wstring account()
{
    return std::wstring(L"NT SERVICE\\") + WinService::Name;
}

class Handle
{
public:
    explicit Handle(SC_HANDLE handle) : m_handle(handle) {}
    ~Handle()
    {
        if (m_handle)
            CloseServiceHandle(m_handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    SC_HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};

// Delayed, so that the service does not slow the boot; restarted after a
// failure, a nonzero exit code included, not only a crash.
bool configure(SC_HANDLE service, QString *error)
{
    SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
    SC_ACTION actions[std::size(RestartDelaysMs)];
    for (size_t i = 0; i < std::size(RestartDelaysMs); ++i)
        actions[i] = {SC_ACTION_RESTART, RestartDelaysMs[i]};
    SERVICE_FAILURE_ACTIONSW failure = {FailureCountResetSeconds, nullptr, nullptr,
                                        DWORD(std::size(actions)), actions};
    SERVICE_FAILURE_ACTIONS_FLAG onExitCodes = {TRUE};
    // The account's own SID, to which the folder's rights are given.
    SERVICE_SID_INFO sid = {SERVICE_SID_TYPE_UNRESTRICTED};
    SERVICE_DESCRIPTIONW description = {const_cast<LPWSTR>(Description)};
    const struct
    {
        DWORD level;
        void *info;
        const char *what;
    } settings[] = {
        {SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed, "delayed start"},
        {SERVICE_CONFIG_FAILURE_ACTIONS, &failure, "restart on failure"},
        {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitCodes, "restart on an exit code"},
        {SERVICE_CONFIG_SERVICE_SID_INFO, &sid, "service SID"},
        {SERVICE_CONFIG_DESCRIPTION, &description, "description"},
    };
    for (const auto &setting : settings) {
        if (ChangeServiceConfig2W(service, setting.level, setting.info))
            continue;
        // A service manager without it (Wine's has no delayed start) runs
        // the service all the same.
        if (GetLastError() == ERROR_INVALID_LEVEL) {
            std::fprintf(stderr, "kvr-transfer-service: this system has no %s; left out\n",
                         setting.what);
            continue;
        }
        *error = systemError(setting.what);
        return false;
    }
    return true;
}

// The virtual account has no rights of its own in %ProgramData%. Without
// them the service is there all the same, and the error says what to give.
bool grantFolder(QString *error)
{
    const QString grant = QString::fromStdWString(account()) + QStringLiteral(":(OI)(CI)M");
    const int code = QProcess::execute(
        QStringLiteral("icacls"),
        {QDir::toNativeSeparators(ServiceConfig::folder()), QStringLiteral("/grant"), grant});
    if (code != 0)
        *error = QStringLiteral("icacls could not give %1 the folder %2")
                     .arg(QString::fromStdWString(account()),
                          QDir::toNativeSeparators(ServiceConfig::folder()));
    return code == 0;
}

bool waitForStop(SC_HANDLE service)
{
    for (int waited = 0; waited < UninstallStopWaitMs; waited += 250) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
            return true;
        Sleep(250);
    }
    return false;
}

} // namespace

bool WinService::run(const std::function<int()> &work, int *exitCode, QString *error)
{
    std::thread dispatcher(dispatch);
    {
        std::unique_lock<std::mutex> lock(shared.mutex);
        shared.changed.wait(lock, [] { return shared.started || shared.dispatcherFailed; });
        if (shared.dispatcherFailed) {
            lock.unlock();
            dispatcher.join();
            *error = shared.dispatcherError == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                         ? QStringLiteral("not started by the service manager: use \"run\" to "
                                          "receive in this console")
                         : systemError("StartServiceCtrlDispatcher", shared.dispatcherError);
            return false;
        }
    }
    *exitCode = work();
    {
        const std::lock_guard<std::mutex> lock(shared.mutex);
        shared.finished = true;
        shared.exitCode = *exitCode;
    }
    shared.changed.notify_all();
    dispatcher.join();
    return true;
}

bool WinService::install(QString *error)
{
    if (!ServiceConfig::prepare(error))
        return false;
    const Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        *error = systemError("OpenSCManager");
        return false;
    }
    const std::wstring command =
        L"\"" + QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdWString() +
        L"\"";
    const Handle service(CreateServiceW(manager.get(), Name, DisplayName, SERVICE_ALL_ACCESS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                        SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                        nullptr, account().c_str(), nullptr));
    if (!service) {
        *error = systemError("CreateService");
        return false;
    }
    return configure(service.get(), error) && grantFolder(error);
}

bool WinService::uninstall(QString *error)
{
    const Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const Handle service(
        manager ? OpenServiceW(manager.get(), Name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                : nullptr);
    if (!service) {
        // Gone already is what was asked for.
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        *error = systemError("OpenService");
        return false;
    }
    SERVICE_STATUS status = {};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status) && !waitForStop(service.get()))
        *error = QStringLiteral("the service did not stop; it goes once it has");
    if (!DeleteService(service.get())) {
        *error = systemError("DeleteService");
        return false;
    }
    return true;
}
