#include "settings/receiverservices.h"

#include "settings/settingsfile.h"

#include <QDir>

#if defined(Q_OS_WIN)
#include <shlobj.h>
#include <windows.h>
#endif

namespace {

constexpr char UnitPrefix[] = "invocation:kvr-transfer-receiver@";
constexpr char UnitSuffix[] = ".service";

void addController(const QString &settingsFile, QStringList *controllers)
{
    const QString address = SettingsFile::read(settingsFile).serverAddress.value_or(QString());
    if (!address.trimmed().isEmpty())
        *controllers << address.trimmed();
}

#if defined(Q_OS_WIN)
bool windowsServiceRuns()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return false;
    SC_HANDLE service =
        OpenServiceW(manager, ReceiverServices::WindowsServiceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    const bool runs =
        service && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return runs;
}
#endif

} // namespace

// The system's own answer, not the environment's: a service's environment
// is the service manager's, which need not name the same folder (Wine's
// does not).
QString ReceiverServices::windowsFolder()
{
#if defined(Q_OS_WIN)
    QString programData = QStringLiteral("C:/ProgramData");
    PWSTR path = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &path) == S_OK)
        programData = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    CoTaskMemFree(path);
    return programData + QStringLiteral("/kvr-file-transfer");
#else
    return QString();
#endif
}

QString ReceiverServices::windowsSettingsFile()
{
    return windowsFolder() + QStringLiteral("/receiver.ini");
}

// systemd marks each unit that runs with a link named after its
// invocation, so no bus is needed to ask.
QStringList ReceiverServices::systemdControllers(const SystemdPlaces &places)
{
    QStringList controllers;
    const QStringList running =
        QDir(places.runningUnits)
            .entryList({QLatin1String(UnitPrefix) + QLatin1Char('*') + QLatin1String(UnitSuffix)},
                       QDir::AllEntries | QDir::System);
    for (const QString &unit : running) {
        const QString instance =
            unit.mid(int(qstrlen(UnitPrefix))).chopped(int(qstrlen(UnitSuffix)));
        addController(QDir(places.settings).filePath(instance + QStringLiteral(".ini")),
                      &controllers);
    }
    return controllers;
}

QStringList ReceiverServices::runningControllers()
{
    QStringList controllers;
#if defined(Q_OS_WIN)
    if (windowsServiceRuns())
        addController(windowsSettingsFile(), &controllers);
#elif defined(Q_OS_LINUX)
    controllers = systemdControllers();
#endif
    return controllers;
}
