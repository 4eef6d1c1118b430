#pragma once

#include <QObject>

class ClientSession;
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
    // The list is the session's: it remembers and forgets.
    RecentAddressCompleter(QLineEdit *field, ClientSession *session);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void offerAll();
    void forgetCurrent();
    void refresh();

    QLineEdit *m_field;
    QStringListModel *m_model;
    QCompleter *m_completer;
    ClientSession *m_session;
};
