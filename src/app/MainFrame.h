#pragma once

#include <QMainWindow>

#include <functional>
#include <map>

class CRondoDoc;
class CRondoView;
class QAction;
class QLabel;
class QUrl;

// The main window: menus, toolbar and status bar around the editor view. It
// remembers its placement, keeps its height between four and twelve rows and
// shows the tempo the playing device reports.
class CMainFrame final : public QMainWindow
{
    Q_OBJECT

public:
    // Help Topics and About are the frame's own commands.
    enum : int { ID_HELP_FINDER = 57667, ID_APP_ABOUT = 57664, ID_APP_EXIT = 57665 };

    explicit CMainFrame(CRondoDoc& doc);

    CRondoView* GetActiveView() const { return m_pView; }

    // The stored placement when it fits on a screen of that size; otherwise
    // three quarters of the screen, centred, and *pbReplaced is set.
    static QRect ValidatePlacement(const QRect& stored, const QSize& screen, bool* pbReplaced);

    // Sets a status pane's text (0 messages, 1 tempo), the tempo pane just
    // wide enough for it.
    bool SetPaneTextFit(int nPane, const QString& text);
    QString PaneText(int nPane) const;
    void OnBpmFromDevice(int nBPM);

    QAction* Command(int nId) const;
    // Brings every command's enabled state up to date with the view.
    void UpdateCommandUI();

    void OnHelpFinder();
    void OnAppAbout();
    // Where Help Topics finds the help page shipped with the program.
    static QString HelpFile();

    // Opens a page in the user's browser; replaceable for the tests.
    std::function<bool(const QUrl&)> m_openUrl;
    // Whether the About box's e-mail and web links were opened in this run.
    bool m_bVisited[2] = {false, false};

protected:
    bool event(QEvent* pEvent) override;
    void closeEvent(QCloseEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;
    void moveEvent(QMoveEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void changeEvent(QEvent* pEvent) override;

private:
    void PreCreateWindow();
    void OnCreate();
    void OnWindowPosChanged();
    void OnGetMinMaxInfo();
    QAction* AddCommand(int nId, const QString& text, const QString& key, const QString& prompt,
                        const QString& icon = QString());

    CRondoDoc& m_doc;
    CRondoView* m_pView;
    QToolBar* m_wndToolBar = nullptr;
    QStatusBar* m_wndStatusBar = nullptr;
    QLabel* m_wndBpm = nullptr;
    std::map<int, QAction*> m_commands;
    QRect m_rcStored;  // the placement last written to "Screen"
    QString m_strIdle = QStringLiteral("Ready");  // what the message pane shows between prompts

};
