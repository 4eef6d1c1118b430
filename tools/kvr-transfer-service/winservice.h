#pragma once

#include "settings/receiverservices.h"

#include <QString>

#include <functional>

// The Windows service API, for one service of one executable: the control
// dispatcher and handler, and the service's entry in the service manager.
namespace WinService {

// As the window looks for it.
constexpr const wchar_t *Name = ReceiverServices::WindowsServiceName;

// Runs work as the service the service manager started: the service
// reports running at once, before work connects anywhere, and a stop or a
// shutdown asks work to stop (Interrupt::request). Work runs in this
// thread, which keeps the program's event loop. False, with *error, when
// the process was not started by the service manager.
bool run(const std::function<int()> &work, int *exitCode, QString *error);

// Creates the service: started automatically, delayed, under its virtual
// account (NT SERVICE\kvr-transfer-service), restarted when it fails. The
// account is given the right to change the service's folder.
bool install(QString *error);
// Stops the service if it runs, and removes it.
bool uninstall(QString *error);

} // namespace WinService
