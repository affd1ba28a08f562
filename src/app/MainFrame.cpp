#include "app/MainFrame.h"

#include "doc/DataFiles.h"
#include "doc/RondoDoc.h"
#include "settings/SettingsStore.h"
#include "sheet/AboutDlg.h"
#include "view/Commands.h"
#include "view/PropSheetHost.h"
#include "view/RondoView.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>
#include <QUrl>

namespace {

const QString kReady = QStringLiteral("Ready");

QString WithoutMnemonics(QString text)
{
    return text.remove(u'&');
}

} // namespace

CMainFrame::CMainFrame(CRondoDoc& doc) : m_doc(doc), m_pView(new CRondoView(doc, this))
{
    m_openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    setWindowTitle(QStringLiteral("Rondo"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/rondo.svg")));
    setCentralWidget(m_pView);
    doc.SetView(m_pView);
    PreCreateWindow();
    OnCreate();
    // The frame takes its limits from the view's: a fixed width, a height
    // from four to twelve rows, whatever bars are shown.
    layout()->setSizeConstraint(QLayout::SetMinimumSize);
    OnGetMinMaxInfo();

    connect(m_pView, &CRondoView::commandStateChanged, this, &CMainFrame::UpdateCommandUI);
    connect(m_pView, &CRondoView::bpmFromDevice, this, &CMainFrame::OnBpmFromDevice);
    connect(m_pView, &CRondoView::statusMessage, this, [this](const QString& text) { SetPaneTextFit(0, text); });
    UpdateCommandUI();
}

QRect CMainFrame::ValidatePlacement(const QRect& stored, const QSize& screen, bool* pbReplaced)
{
    const int W = screen.width(), H = screen.height();
    const int x = stored.x(), y = stored.y(), cx = stored.width(), cy = stored.height();
    const bool bValid = cx > 0 && cy > 0 && x >= 0 && y >= 0 && cx <= W && cy <= H && x <= W && y <= H;
    if (pbReplaced) *pbReplaced = !bValid;
    if (bValid) return stored;
    const int cx2 = int(W * 0.75), cy2 = int(H * 0.75);
    return QRect((W - cx2) / 2, (H - cy2) / 2, cx2, cy2);
}

void CMainFrame::PreCreateWindow()
{
    CSettingsStore& settings = m_doc.Settings();
    const QRect stored(settings.GetInt("Screen", "x", 0), settings.GetInt("Screen", "y", 0),
                       settings.GetInt("Screen", "cx", 0), settings.GetInt("Screen", "cy", 0));
    const QScreen* pScreen = QGuiApplication::primaryScreen();
    const QSize screen = pScreen ? pScreen->geometry().size() : QSize(1024, 768);
    bool bReplaced = false;
    const QRect placement = ValidatePlacement(stored, screen, &bReplaced);
    if (bReplaced) {
        settings.SetInt("Screen", "x", placement.x());
        settings.SetInt("Screen", "y", placement.y());
        settings.SetInt("Screen", "cx", placement.width());
        settings.SetInt("Screen", "cy", placement.height());
    }
    move(placement.topLeft());
    resize(placement.size());
}

QAction* CMainFrame::AddCommand(int nId, const QString& text, const QString& key, const QString& prompt,
                                const QString& icon)
{
    QAction* pAction = new QAction(text, this);
    if (!key.isEmpty()) pAction->setShortcut(QKeySequence(key));
    // "status prompt\ntooltip"
    const QStringList parts = prompt.split(u'\n');
    pAction->setStatusTip(WithoutMnemonics(parts.value(0)));
    pAction->setToolTip(WithoutMnemonics(parts.value(1, parts.value(0))));
    if (!icon.isEmpty()) pAction->setIcon(QIcon(QStringLiteral(":/icons/toolbar/%1.svg").arg(icon)));
    m_commands[nId] = pAction;
    return pAction;
}

void CMainFrame::OnCreate()
{
    const auto route = [this](QAction* pAction, int nId) {
        connect(pAction, &QAction::triggered, this, [this, nId] { m_pView->OnCommand(nId); });
    };
    struct Item
    {
        int nId;
        const char* text;
        const char* key;
        const char* prompt;
        const char* icon;
    };
    const Item loopCommands[] = {
        {ID_LOOP_NEW, "&New", "Ctrl+N", "Create a new document\nNew", "new"},
        {ID_LOOP_OPEN, "&Open...", "Ctrl+O", "Open an existing document\nOpen", "open"},
        {ID_LOOP_SAVE, "&Save", "Ctrl+S", "Save Document\nSave", "save"},
        {ID_LOOP_SAVE_AS, "Save &As...", "", "Save the active document with a new name\nSave As", ""},
        {ID_EXPORT, "&Export...", "F10", "Export as MIDI\nExport", "export"},
        {ID_NOTES, "&Notes...", "F2", "Edit Notes\nNotes", "notes"},
        {ID_PREFERENCES, "&Preferences...", "F3", "Rondo Preferences\nPreferences", "preferences"},
        {ID_MIDI, "&MIDI...", "F4", "&MIDI\n&MIDI", "midi"},
        {ID_SOUND, "&Sound...", "F5", "The built-in synthesizer's output, sound font and volume\nSound", "sound"},
        {ID_SHIFT_RIGHT, "Shift &Right", "Right", "Shift Beats Right\nShift Right", ""},
        {ID_SHIFT_LEFT, "Shift &Left", "Left", "Shift Beats Left\nShift Left", ""},
        {ID_ADD_VOICE, "&Add Voice", "Ins", "Add Voice\nAdd Voice", "add-voice"},
        {ID_DELETE_VOICE, "&Delete Voice", "Del", "Delete Voice\nDelete Voice", "delete-voice"},
    };
    for (const Item& item : loopCommands) {
        route(AddCommand(item.nId, QString::fromLatin1(item.text), QString::fromLatin1(item.key),
                         QString::fromLatin1(item.prompt), QString::fromLatin1(item.icon)),
              item.nId);
    }
    QAction* pExit = AddCommand(ID_APP_EXIT, QStringLiteral("E&xit"), QString(), QStringLiteral("Quit the application\nExit"));
    connect(pExit, &QAction::triggered, this, &QWidget::close);
    QAction* pHelp = AddCommand(ID_HELP_FINDER, QStringLiteral("&Help Topics"), QStringLiteral("F1"),
                                QStringLiteral("List Help topics\nHelp Topics"));
    connect(pHelp, &QAction::triggered, this, &CMainFrame::OnHelpFinder);
    QAction* pAbout = AddCommand(ID_APP_ABOUT, QStringLiteral("&About Rondo..."), QString(),
                                 QStringLiteral("Display program information, version number and copyright\nAbout"),
                                 QStringLiteral("about"));
    connect(pAbout, &QAction::triggered, this, &CMainFrame::OnAppAbout);

    m_wndToolBar = new QToolBar(QStringLiteral("Toolbar"), this);
    m_wndToolBar->setObjectName(QStringLiteral("toolbar"));
    m_wndToolBar->setIconSize(QSize(16, 16));
    m_wndToolBar->setAllowedAreas(Qt::AllToolBarAreas);
    for (int nId : {int(ID_LOOP_NEW), int(ID_LOOP_OPEN), int(ID_LOOP_SAVE), int(ID_EXPORT), 0, int(ID_NOTES), int(ID_PREFERENCES), int(ID_MIDI), int(ID_SOUND), 0,
                    int(ID_ADD_VOICE), int(ID_DELETE_VOICE), 0, int(ID_APP_ABOUT)}) {
        if (nId == 0) m_wndToolBar->addSeparator();
        else m_wndToolBar->addAction(Command(nId));
    }
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);

    m_wndStatusBar = new QStatusBar(this);
    m_wndBpm = new QLabel(QStringLiteral("BPM"), m_wndStatusBar);
    m_wndBpm->setAlignment(Qt::AlignCenter);
    m_wndStatusBar->addPermanentWidget(m_wndBpm);
    setStatusBar(m_wndStatusBar);
    // The idle text comes back whenever a prompt is taken away: a failure's
    // gist stays until the next message, however the pointer roams the menus.
    connect(m_wndStatusBar, &QStatusBar::messageChanged, this, [this](const QString& text) {
        if (text.isEmpty()) m_wndStatusBar->showMessage(m_strIdle);
    });
    m_wndStatusBar->showMessage(kReady);
    SetPaneTextFit(1, QStringLiteral("BPM"));

    QMenu* pFile = menuBar()->addMenu(QStringLiteral("&File"));
    for (int nId : {ID_LOOP_NEW, ID_LOOP_OPEN, ID_LOOP_SAVE, ID_LOOP_SAVE_AS, ID_EXPORT}) pFile->addAction(Command(nId));
    pFile->addSeparator();
    pFile->addAction(pExit);
    QMenu* pEdit = menuBar()->addMenu(QStringLiteral("&Edit"));
    for (int nId : {ID_NOTES, ID_PREFERENCES, ID_MIDI, ID_SOUND}) pEdit->addAction(Command(nId));
    pEdit->addSeparator();
    for (int nId : {ID_SHIFT_RIGHT, ID_SHIFT_LEFT}) pEdit->addAction(Command(nId));
    QMenu* pViewMenu = menuBar()->addMenu(QStringLiteral("&View"));
    for (int nId : {ID_ADD_VOICE, ID_DELETE_VOICE}) pViewMenu->addAction(Command(nId));
    pViewMenu->addSeparator();
    QAction* pToggleToolBar = m_wndToolBar->toggleViewAction();
    pToggleToolBar->setText(QStringLiteral("&Toolbar"));
    pToggleToolBar->setStatusTip(QStringLiteral("Show or hide the toolbar"));
    pToggleToolBar->setToolTip(QStringLiteral("Toggle ToolBar"));
    pViewMenu->addAction(pToggleToolBar);
    QAction* pToggleStatus = pViewMenu->addAction(QStringLiteral("&Status Bar"));
    pToggleStatus->setCheckable(true);
    pToggleStatus->setChecked(true);
    pToggleStatus->setStatusTip(QStringLiteral("Show or hide the status bar"));
    pToggleStatus->setToolTip(QStringLiteral("Toggle StatusBar"));
    connect(pToggleStatus, &QAction::toggled, m_wndStatusBar, &QWidget::setVisible);
    QMenu* pHelpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    pHelpMenu->addAction(pHelp);
    pHelpMenu->addSeparator();
    pHelpMenu->addAction(pAbout);
}

QAction* CMainFrame::Command(int nId) const
{
    const auto it = m_commands.find(nId);
    return it == m_commands.end() ? nullptr : it->second;
}

void CMainFrame::UpdateCommandUI()
{
    for (const auto& [nId, pAction] : m_commands) {
        if (nId >= ID_SHIFT_RIGHT && nId <= ID_SOUND) pAction->setEnabled(m_pView->IsCommandEnabled(nId));
    }
}

bool CMainFrame::SetPaneTextFit(int nPane, const QString& text)
{
    if (nPane == 0) {
        m_strIdle = text.isEmpty() ? kReady : text;
        m_wndStatusBar->showMessage(m_strIdle);
        return true;
    }
    if (nPane != 1) return false;
    m_wndBpm->setText(text);
    const QMargins margins = m_wndBpm->contentsMargins();
    m_wndBpm->setFixedWidth(m_wndBpm->fontMetrics().horizontalAdvance(text) + 2 + margins.left() + margins.right() +
                            2 * m_wndBpm->margin());
    return true;
}

QString CMainFrame::PaneText(int nPane) const
{
    return nPane == 0 ? m_wndStatusBar->currentMessage() : nPane == 1 ? m_wndBpm->text() : QString();
}

void CMainFrame::OnBpmFromDevice(int nBPM)
{
    SetPaneTextFit(1, QString::asprintf("%d BPM", nBPM));
}

QString CMainFrame::HelpFile()
{
    return RondoDataPath(QStringLiteral("help/index.html"));
}

void CMainFrame::OnHelpFinder()
{
    const QString path = HelpFile();
    if (!QFileInfo::exists(path) || !m_openUrl(QUrl::fromLocalFile(path))) {
        QApplication::beep();
        SetPaneTextFit(0, QStringLiteral("The help page %1 could not be opened.").arg(QDir::toNativeSeparators(path)));
    }
}

void CMainFrame::OnAppAbout()
{
    CAboutDlg dlg(m_bVisited, this);
    dlg.m_linkMail.m_openUrl = m_openUrl;
    dlg.m_linkWeb.m_openUrl = m_openUrl;
    dlg.exec();
}

void CMainFrame::closeEvent(QCloseEvent* pEvent)
{
    m_pView->OnStop();
    if (m_pView->m_pSheetFrame) m_pView->m_pSheetFrame->SavePosition();
    if (m_doc.m_bNoSavePrompt) m_doc.m_bDirty = false;
    if (!m_doc.CanCloseFrame()) {
        pEvent->ignore();
        return;
    }
    // The property window goes with the main window.
    if (m_pView->m_pSheetFrame) m_pView->m_pSheetFrame->Window()->close();
    pEvent->accept();
}

bool CMainFrame::event(QEvent* pEvent)
{
    const bool bResult = QMainWindow::event(pEvent);
    // Bars shown, hidden or docked elsewhere change what the rows leave.
    if (pEvent->type() == QEvent::LayoutRequest) OnGetMinMaxInfo();
    return bResult;
}

void CMainFrame::OnGetMinMaxInfo()
{
    if (layout() == nullptr) return;
    layout()->activate();
    // The layout gives the four-row minimum; twelve rows is eight more.
    const int nExtraRows = CRondoDoc::kMaxRows - CRondoDoc::kMinRows;
    setMaximumSize(minimumWidth(), minimumHeight() + nExtraRows * m_pView->RowPitch());
}

void CMainFrame::showEvent(QShowEvent* pEvent)
{
    QMainWindow::showEvent(pEvent);
    // The size the view gave the frame before it was shown, once the window
    // system has placed it.
    QMetaObject::invokeMethod(this, &CMainFrame::OnWindowPosChanged, Qt::QueuedConnection);
}

void CMainFrame::moveEvent(QMoveEvent* pEvent)
{
    QMainWindow::moveEvent(pEvent);
    OnWindowPosChanged();
}

void CMainFrame::resizeEvent(QResizeEvent* pEvent)
{
    QMainWindow::resizeEvent(pEvent);
    OnWindowPosChanged();
}

void CMainFrame::changeEvent(QEvent* pEvent)
{
    QMainWindow::changeEvent(pEvent);
    if (pEvent->type() == QEvent::WindowStateChange) OnWindowPosChanged();
}

void CMainFrame::OnWindowPosChanged()
{
    if (!isVisible() || isMinimized()) return;
    const QScreen* pScreen = screen();
    const QRect work = pScreen ? pScreen->availableGeometry() : QRect(0, 0, width(), height());
    const QRect placement(std::max(0, x()), std::max(0, y()), std::min(width(), work.width()),
                          std::min(height(), work.height()));
    // A move and a resize often come together: each write rewrites the file.
    if (placement == m_rcStored) return;
    m_rcStored = placement;
    CSettingsStore& settings = m_doc.Settings();
    settings.SetInt("Screen", "x", placement.x());
    settings.SetInt("Screen", "y", placement.y());
    settings.SetInt("Screen", "cx", placement.width());
    settings.SetInt("Screen", "cy", placement.height());
}
