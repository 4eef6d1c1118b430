#pragma once

#include "settings/recentaddresses.h"

#include <QObject>

class QCompleter;
class QLineEdit;
class QStringListModel;

// Offers the recent controller addresses in the address field: all of them
// on a click into the empty field or on the Down key, narrowed down as the
// user types. Delete in the list forgets the address picked out there.
class RecentAddressCompleter : public QObject
{
    Q_OBJECT

public:
    RecentAddressCompleter(QLineEdit *field, const QStringList &stored);

    void remember(const QString &address);
    const QStringList &addresses() const { return m_recent.list(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void offerAll();
    void forgetCurrent();

    QLineEdit *m_field;
    QStringListModel *m_model;
    QCompleter *m_completer;
    RecentAddresses m_recent;
};
