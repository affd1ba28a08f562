#pragma once

#include <QColor>
#include <QLabel>
#include <QTimer>

#include <functional>

class QUrl;

// Opens a target. False when it could not even be handed on; a handler
// that learns only later that the target did not open (the desktop's opener
// failed) calls onFailed then, on the UI thread.
using UrlOpener = std::function<bool(const QUrl& url, const std::function<void()>& onFailed)>;

// Hands url to the desktop's opener (xdg-open) and watches it: onFailed
// runs when it ends with an error. False when it cannot be started.
bool OpenUrlOnDesktop(const QUrl& url, const std::function<void()>& onFailed);

// A text that opens its target when clicked: underlined, blue until the
// target has been opened and purple after, with a pointing hand while the
// mouse is over it. Whether it was opened is kept by the owner, so that it
// outlives the control.
class CStaticLink final : public QLabel
{
    Q_OBJECT

public:
    // A target holding this is an e-mail address and opens as "mailto:".
    static constexpr const char* kMailPrefix = "rondo@";
    static constexpr int kClickLockMs = 1000;

    explicit CStaticLink(QWidget* pParent = nullptr);

    // The colour the text is drawn in now.
    QColor TextColor() const;

    void OnClicked();
    // The opener reported that the target did not open after all.
    void OnOpenFailed();

    QColor m_colorUnvisited{0, 0, 255};
    QColor m_colorVisited{128, 0, 128};
    bool* m_pbVisited = nullptr;
    bool m_bHover = false;
    bool m_bClickLock = false;
    // The target; taken from the text when empty at the first click.
    QString m_link;
    // Opens a target; replaceable for the tests.
    UrlOpener m_openUrl;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void leaveEvent(QEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void OnMouseMove(const QPoint& point);
    void OnTimer();

    QTimer m_clickLockTimer;
    bool m_bPressed = false;
};
