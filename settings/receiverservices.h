#pragma once

#include <QString>
#include <QStringList>

// The receiver services of this PC (kvr-transfer-service on Windows, the
// systemd units kvr-transfer-receiver@NAME on Linux), each of which holds
// a connection to a controller of its own: a window that connects to one
// of those controllers would take the connection, or its files, from it.
namespace ReceiverServices {

// The Windows service's name in the service manager, and its folder of
// settings and files, %ProgramData%\kvr-file-transfer (on other systems,
// empty).
constexpr wchar_t WindowsServiceName[] = L"kvr-transfer-service";
QString windowsFolder();
// The settings file of its folder.
QString windowsSettingsFile();

// Where systemd lists the units that run, and where the instances'
// settings are (NAME.ini); a test gives folders of its own.
struct SystemdPlaces
{
    QString runningUnits = QStringLiteral("/run/systemd/units");
    QString settings = QStringLiteral("/etc/kvr-file-transfer");
};
// The controllers that the running instances' settings name.
QStringList systemdControllers(const SystemdPlaces &places = {});

// The controllers the services running on this PC receive from, as their
// settings name them; none where no service runs.
QStringList runningControllers();

} // namespace ReceiverServices
