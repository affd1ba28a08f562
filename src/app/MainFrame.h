#pragma once

#include "sheet/StaticLink.h"

#include <QMainWindow>

#include <functional>
#include <map>
#include <memory>

class CRondoDoc;
class CRondoView;
class QAction;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QMimeData;
class QTemporaryDir;
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
    ~CMainFrame() override;

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

    // The loops opened or saved last, newest first, kept in the settings
    // ("Recent File List", File1..File4) and shown at the end of the File menu.
    static constexpr int kMaxRecent = 4;
    QStringList RecentFiles() const;
    void AddRecentFile(const QString& path);
    // Opens recent file n (0 the newest), with the save prompt; a file that
    // is gone is taken off the list, and the user is told.
    void OnRecentFile(int nIndex);
    QAction* RecentAction(int nIndex) const { return m_recent[nIndex]; }

    // What a drop of these files does: opens a loop file, or says why not.
    void OnDropFiles(const QList<QUrl>& urls);
    // The data a drag from the toolbar's Export button carries: the loop as
    // a Standard MIDI File named after its title, in a folder of the run's
    // own (text/uri-list), and the same bytes as audio/midi. With bAudio
    // (Ctrl held) the loop rendered with the last Export Audio choices
    // instead, its bytes as audio/wav or audio/flac. Null when it could not
    // be written.
    QMimeData* MakeLoopDragData(bool bAudio = false);
    // Where Help Topics finds the help page shipped with the program.
    static QString HelpFile();

    // Opens a page in the user's browser; replaceable for the tests.
    UrlOpener m_openUrl;
    // Whether the About box's e-mail and web links were opened in this run.
    bool m_bVisited[2] = {false, false};

protected:
    bool event(QEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;
    void dragEnterEvent(QDragEnterEvent* pEvent) override;
    void dropEvent(QDropEvent* pEvent) override;
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
    void StoreRecentFiles(const QStringList& files);
    void UpdateRecentMenu();

    CRondoDoc& m_doc;
    CRondoView* m_pView;
    QToolBar* m_wndToolBar = nullptr;
    QStatusBar* m_wndStatusBar = nullptr;
    QLabel* m_wndBpm = nullptr;
    std::map<int, QAction*> m_commands;
    QRect m_rcStored;  // the placement last written to "Screen"
    QAction* m_recent[kMaxRecent]{};
    QAction* m_pRecentSeparator = nullptr;
    // Where dragged loops are written for the run.
    std::unique_ptr<QTemporaryDir> m_pDragFolder;
    QPoint m_dragStart;
    bool m_bDragArmed = false;
    QString m_strIdle = QStringLiteral("Ready");  // what the message pane shows between prompts

};
