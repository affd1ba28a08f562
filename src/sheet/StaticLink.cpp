#include "sheet/StaticLink.h"

#include <QApplication>
#include <QPointer>
#include <QProcess>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QUrl>

CStaticLink::CStaticLink(QWidget* pParent) : QLabel(pParent)
{
    m_openUrl = &OpenUrlOnDesktop;
    // Only the underline is the link's own: the rest follows the parent's font.
    QFont underline;
    underline.setUnderline(true);
    setFont(underline);
    setMouseTracking(true);
    // Reachable from the keyboard too; Space or Enter opens it.
    setFocusPolicy(Qt::TabFocus);
    m_clickLockTimer.setSingleShot(true);
    connect(&m_clickLockTimer, &QTimer::timeout, this, &CStaticLink::OnTimer);
}

QColor CStaticLink::TextColor() const
{
    return m_pbVisited != nullptr && *m_pbVisited ? m_colorVisited : m_colorUnvisited;
}

void CStaticLink::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setFont(font());
    p.setPen(TextColor());
    QRect bounds;
    p.drawText(contentsRect(), int(alignment()), text(), &bounds);
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = bounds.adjusted(-1, -1, 1, 1) & rect();
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
    }
}

void CStaticLink::OnClicked()
{
    if (m_link.isEmpty()) m_link = text();
    const QString mailto = QStringLiteral("mailto:");
    if (m_link.contains(QLatin1String(kMailPrefix), Qt::CaseInsensitive) && !m_link.startsWith(mailto, Qt::CaseInsensitive))
        m_link.prepend(mailto);

    // No hover tracking for a moment, so the click does not re-arm it at once.
    m_bHover = false;
    m_bClickLock = true;
    m_clickLockTimer.start(kClickLockMs);

    // Only a target that names its scheme is handed on: plain text is not guessed at.
    const QUrl url(m_link);
    // The flag outlives the link: the box may be closed before the opener ends.
    bool* pbVisited = m_pbVisited;
    const QPointer<CStaticLink> pLink(this);
    const auto onFailed = [pbVisited, pLink] {
        if (pbVisited != nullptr) *pbVisited = false;
        if (pLink) pLink->OnOpenFailed();
        else QApplication::beep();
    };
    if (!url.isValid() || url.scheme().isEmpty() || !m_openUrl || !m_openUrl(url, onFailed)) {
        QApplication::beep();
        return;
    }
    if (m_pbVisited != nullptr) *m_pbVisited = true;
    setCursor(Qt::ArrowCursor);
    update();
}

void CStaticLink::OnOpenFailed()
{
    // A target that never opened was not visited.
    if (m_pbVisited != nullptr) *m_pbVisited = false;
    QApplication::beep();
    update();
}

bool OpenUrlOnDesktop(const QUrl& url, const std::function<void()>& onFailed)
{
    // The opener may run until the browser it starts ends: it is watched,
    // never waited for, and left to itself when the program ends.
    auto* pProcess = new QProcess(qApp);
    pProcess->setProgram(QStringLiteral("xdg-open"));
    pProcess->setArguments({url.toString(QUrl::FullyEncoded)});
    pProcess->setStandardOutputFile(QProcess::nullDevice());
    pProcess->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(pProcess, &QProcess::finished, pProcess, [pProcess, onFailed](int nExitCode, QProcess::ExitStatus status) {
        if ((status != QProcess::NormalExit || nExitCode != 0) && onFailed) onFailed();
        pProcess->deleteLater();
    });
    pProcess->start();
    if (!pProcess->waitForStarted(5000)) {
        pProcess->disconnect();
        delete pProcess;
        return false;
    }
    return true;
}

void CStaticLink::OnMouseMove(const QPoint& point)
{
    if (m_bClickLock) return;
    const bool bInside = rect().contains(point);
    if (!m_bHover && bInside) {
        m_bHover = true;
        setCursor(Qt::PointingHandCursor);
    } else if (m_bHover && !bInside) {
        m_bHover = false;
        setCursor(Qt::ArrowCursor);
    }
}

void CStaticLink::OnTimer()
{
    m_bClickLock = false;
}

void CStaticLink::mouseMoveEvent(QMouseEvent* pEvent)
{
    QLabel::mouseMoveEvent(pEvent);
    OnMouseMove(pEvent->position().toPoint());
}

void CStaticLink::leaveEvent(QEvent* pEvent)
{
    QLabel::leaveEvent(pEvent);
    // Without a mouse grab the last move seen may still be inside.
    OnMouseMove(QPoint(-1, -1));
}

void CStaticLink::mousePressEvent(QMouseEvent* pEvent)
{
    m_bPressed = pEvent->button() == Qt::LeftButton;
    pEvent->accept();
}

void CStaticLink::mouseReleaseEvent(QMouseEvent* pEvent)
{
    const bool bClicked = m_bPressed && pEvent->button() == Qt::LeftButton && rect().contains(pEvent->position().toPoint());
    m_bPressed = false;
    pEvent->accept();
    if (bClicked) OnClicked();
}

void CStaticLink::keyPressEvent(QKeyEvent* pEvent)
{
    switch (pEvent->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (pEvent->isAutoRepeat()) break;
        OnClicked();
        break;
    default:
        QLabel::keyPressEvent(pEvent);
        return;
    }
    pEvent->accept();
}
