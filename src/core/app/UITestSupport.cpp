#include "app/UITestSupport.h"

#include "common/AtomicFile.h"

namespace tarni {

void UITestSupport::recordOpened(const QUrl &url)
{
    std::lock_guard guard(m_lock);
    m_opened.append(url);
}

void UITestSupport::recordRevealed(const QUrl &url)
{
    std::lock_guard guard(m_lock);
    m_revealed.append(url);
}

void UITestSupport::recordMovedWindow(const QString &identifier, const QRectF &frame)
{
    std::lock_guard guard(m_lock);
    m_moved.append(MovedWindow{identifier, frame});
}

QList<QUrl> UITestSupport::openedURLs() const
{
    std::lock_guard guard(m_lock);
    return m_opened;
}

QList<QUrl> UITestSupport::revealedURLs() const
{
    std::lock_guard guard(m_lock);
    return m_revealed;
}

QList<UITestSupport::MovedWindow> UITestSupport::movedWindows() const
{
    std::lock_guard guard(m_lock);
    return m_moved;
}

bool UITestSupport::writeState(std::string_view json, std::string *error) const
{
    return writeFileAtomically(m_stateFile, json, error);
}

bool RecordingExternalOpener::open(const AcceptedAddress &address)
{
    m_support.recordOpened(address.url());
    return true;
}

QCoro::Task<bool> RecordingExternalOpener::reveal(QUrl fileURL)
{
    m_support.recordRevealed(fileURL);
    co_return true;
}

} // namespace tarni
