#include "gui/sidebar/ManagedTargetWindow.h"

#include "app/AppModel.h"
#include "gui/WindowScreenFit.h"
#include "util/Localized.h"
#include "platform/x11/DockWindow.h"
#include "platform/x11/PixelMapping.h"

#include <QLabel>
#include <QLoggingCategory>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <QWindow>

Q_DECLARE_LOGGING_CATEGORY(lcSidebar)

namespace tarni {

namespace {

constexpr int kCornerRadius = 24;
constexpr int kInset = 16;
// Requests for one rectangle after the first, before giving up on it.
constexpr int kMaxReplacements = 5;

} // namespace

ManagedTargetWindow::ManagedTargetWindow(AppModel &model, QWidget *parent)
    : QWidget(parent, Qt::Window), m_model(model)
{
    setObjectName(QStringLiteral("ManagedTargetWindow"));
    setProperty(kPlacesItselfProperty, true);
    setAttribute(Qt::WA_ShowWithoutActivating);
    m_placementCheck = new QTimer(this);
    m_placementCheck->setSingleShot(true);
    m_placementCheck->setInterval(200);
    connect(m_placementCheck, &QTimer::timeout, this, &ManagedTargetWindow::checkPlacement);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(kInset + 28, kInset + 28, kInset + 28, kInset + 28);
    layout->setSpacing(12);
    m_title = new QLabel(this);
    QFont titleFont = m_title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 2.0);
    titleFont.setWeight(QFont::DemiBold);
    m_title->setFont(titleFont);
    m_purpose = new QLabel(this);
    m_purpose->setObjectName(QStringLiteral("contentAreaPurpose"));
    m_purpose->setWordWrap(true);
    m_explanation = new QLabel(this);
    m_explanation->setWordWrap(true);
    m_explanation->setForegroundRole(QPalette::PlaceholderText);
    m_summary = new QLabel(this);
    m_summary->setWordWrap(true);
    m_summary->setTextFormat(Qt::PlainText);
    QFont headline = m_summary->font();
    headline.setWeight(QFont::DemiBold);
    headline.setPointSizeF(headline.pointSizeF() * 1.15);
    m_summary->setFont(headline);
    for (QLabel *label : {m_title, m_purpose, m_explanation, m_summary})
        layout->addWidget(label);
    layout->addStretch(1);

    connect(&m_model, &AppModel::lastOpenSummaryChanged, this, [this] { m_summary->setText(m_model.lastOpenSummary()); });
    connect(&m_model, &AppModel::appLanguageChanged, this, &ManagedTargetWindow::relabel);
    relabel();
}

void ManagedTargetWindow::relabel()
{
    setWindowTitle(localized("Workspace"));
    m_title->setText(localized("Managed Target Surface"));
    m_purpose->setText(localized("Windows you open from the sidebar are placed here; you can hide this window in Settings."));
    m_explanation->setText(localized("Chrome windows and managed native windows are reserved into this rect."));
    m_summary->setText(m_model.lastOpenSummary());
}

void ManagedTargetWindow::placeFrame(const QRectF &wanted)
{
    // Qt takes whole logical pixels; the exact device rectangle follows from
    // checkPlacement().
    const QRect frame(QPoint(qRound(wanted.left()), qRound(wanted.top())),
                      QPoint(qRound(wanted.left() + wanted.width()) - 1, qRound(wanted.top() + wanted.height()) - 1));
    // Decorations are known only once the window manager framed the window;
    // until then the client area takes the whole rectangle.
    const QRect outer = frameGeometry();
    const QRect inner = geometry();
    const QMargins decorations = isVisible() ? QMargins(inner.left() - outer.left(), inner.top() - outer.top(),
                                                        outer.right() - inner.right(), outer.bottom() - inner.bottom())
                                             : QMargins();
    const QRect client = frame.marginsRemoved(decorations);
    if (client.isValid())
        setGeometry(client);
    m_wantedFrame = wanted;
    m_replacements = 0;
    m_placementCheck->start();
}

void ManagedTargetWindow::checkPlacement()
{
    QWindow *window = windowHandle();
    if (!isVisible() || !window || m_wantedFrame.isEmpty())
        return;
    // Compared with where the X server has the frame, not with Qt's geometry:
    // Qt counts a request as done when it sends it, so after the window
    // manager answered requests out of order both can agree on a rectangle
    // the window is not on, and Qt would never send the request again.
    const std::optional<QRect> actual = DockWindow::outerFrame(*window);
    const QRect wanted = PixelMapping::of(screen()).toDevice(m_wantedFrame);
    if (!actual || *actual == wanted)
        return;
    if (m_replacements >= kMaxReplacements) {
        if (m_replacements++ == kMaxReplacements)
            qCWarning(lcSidebar) << "the window manager keeps the content window at" << *actual << "instead of"
                                 << wanted;
        return;
    }
    ++m_replacements;
    DockWindow::requestOuterFrame(*window, wanted);
    // Checked again also when the window manager does not answer at all.
    m_placementCheck->start();
}

void ManagedTargetWindow::moveEvent(QMoveEvent *event)
{
    QWidget::moveEvent(event);
    if (m_placementCheck)
        m_placementCheck->start();
}

void ManagedTargetWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_placementCheck)
        m_placementCheck->start();
}

void ManagedTargetWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), palette().color(QPalette::Dark).lighter(160));
    QPainterPath panel;
    panel.addRoundedRect(QRectF(rect()).adjusted(kInset, kInset, -kInset, -kInset), kCornerRadius, kCornerRadius);
    painter.fillPath(panel, palette().color(QPalette::Window));
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.drawPath(panel);
}

} // namespace tarni
