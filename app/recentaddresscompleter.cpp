#include "app/recentaddresscompleter.h"

#include "client/clientsession.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStringListModel>

namespace {

bool isKeyPress(const QEvent *event, int key)
{
    return event->type() == QEvent::KeyPress && static_cast<const QKeyEvent *>(event)->key() == key;
}

} // namespace

RecentAddressCompleter::RecentAddressCompleter(QLineEdit *field, ClientSession *session)
    : QObject(field), m_field(field), m_model(new QStringListModel(this)),
      m_completer(new QCompleter(m_model, this)), m_session(session)
{
    refresh();
    connect(session, &ClientSession::recentAddressesChanged, this,
            &RecentAddressCompleter::refresh);
    // Part of an address finds it: "1.23" finds 192.168.1.23.
    m_completer->setFilterMode(Qt::MatchContains);
    m_completer->setCaseSensitivity(Qt::CaseInsensitive);
    m_field->setCompleter(m_completer);
    m_field->installEventFilter(this);
    // Filters run newest first: Delete reaches this one before the
    // completer's own, which would hand it on to the field.
    m_completer->popup()->installEventFilter(this);
}

void RecentAddressCompleter::refresh()
{
    m_model->setStringList(m_session->recentAddresses());
}

bool RecentAddressCompleter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_field) {
        if (event->type() == QEvent::MouseButtonRelease && m_field->text().isEmpty()) {
            offerAll();
        } else if (isKeyPress(event, Qt::Key_Down) && !m_completer->popup()->isVisible()) {
            offerAll();
            return true;
        }
    } else if (isKeyPress(event, Qt::Key_Delete)) {
        forgetCurrent();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void RecentAddressCompleter::offerAll()
{
    m_completer->setCompletionPrefix(QString());
    m_completer->complete();
}

// The neighbour takes the forgotten address's place in the list.
void RecentAddressCompleter::forgetCurrent()
{
    QAbstractItemView *popup = m_completer->popup();
    const QModelIndex current = popup->currentIndex();
    if (!current.isValid())
        return;
    m_session->forgetAddress(current.data().toString());
    const int left = m_completer->completionCount();
    if (left == 0) {
        popup->hide();
        return;
    }
    popup->setCurrentIndex(m_completer->completionModel()->index(qMin(current.row(), left - 1), 0));
}
