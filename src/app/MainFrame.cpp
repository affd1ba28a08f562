#include "app/MainFrame.h"

#include "doc/DataFiles.h"
#include "doc/RondoDoc.h"
#include "settings/Ansi.h"
#include "settings/SafeFile.h"
#include "settings/SettingsStore.h"
#include "sheet/AboutDlg.h"
#include "view/Commands.h"
#include "view/PropSheetHost.h"
#include "view/RondoView.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QPointer>
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

// Beyond this a dragged render is carried by its file name alone.
constexpr qsizetype kMaxDragBytes = 64 << 20;

const QString kReady = QStringLiteral("Ready");

QString WithoutMnemonics(QString text)
{
    return text.remove(u'&');
}

} // namespace

CMainFrame::CMainFrame(CRondoDoc& doc) : m_doc(doc), m_pView(new CRondoView(doc, this))
{
    m_openUrl = &OpenUrlOnDesktop;
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
    connect(m_pView, &CRondoView::recentFile, this, &CMainFrame::AddRecentFile);
    connect(m_pView, &CRondoView::bpmFromDevice, this, &CMainFrame::OnBpmFromDevice);
    connect(m_pView, &CRondoView::statusMessage, this, [this](const QString& text) { SetPaneTextFit(0, text); });
    UpdateCommandUI();
}

CMainFrame::~CMainFrame() = default;

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
        {ID_EXPORT_AUDIO, "Export Au&dio...", "Ctrl+Shift+E", "Render the loop into a WAV or FLAC file\nExport Audio", ""},
        {ID_NOTES, "&Notes...", "F2", "Edit Notes\nNotes", "notes"},
        {ID_PREFERENCES, "&Preferences...", "F3", "Rondo Preferences\nPreferences", "preferences"},
        {ID_MIDI, "&MIDI...", "F4", "&MIDI\n&MIDI", "midi"},
        {ID_SOUND, "&Sound...", "F5", "The built-in synthesizer's output, sound font and volume\nSound", "sound"},
        {ID_EDIT_UNDO, "&Undo", "Ctrl+Z", "Undo the last change of the loop\nUndo", "undo"},
        {ID_EDIT_REDO, "&Redo", "Ctrl+Shift+Z", "Redo the change undone last\nRedo", "redo"},
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
    // Rotation has a key that works wherever the focus is, shown in the
    // menu; the plain arrows rotate too while the focus is outside the grid,
    // where they move the focus cell instead.
    Command(ID_SHIFT_RIGHT)->setShortcuts({QKeySequence(QStringLiteral("Ctrl+Right")), QKeySequence(Qt::Key_Right)});
    Command(ID_SHIFT_LEFT)->setShortcuts({QKeySequence(QStringLiteral("Ctrl+Left")), QKeySequence(Qt::Key_Left)});
    Command(ID_EDIT_REDO)->setShortcuts({QKeySequence(QStringLiteral("Ctrl+Shift+Z")), QKeySequence(QStringLiteral("Ctrl+Y"))});

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
    for (int nId : {int(ID_LOOP_NEW), int(ID_LOOP_OPEN), int(ID_LOOP_SAVE), int(ID_EXPORT), 0, int(ID_EDIT_UNDO),
                    int(ID_EDIT_REDO), 0, int(ID_NOTES), int(ID_PREFERENCES), int(ID_MIDI), int(ID_SOUND), 0,
                    int(ID_ADD_VOICE), int(ID_DELETE_VOICE), 0, int(ID_APP_ABOUT)}) {
        if (nId == 0) m_wndToolBar->addSeparator();
        else m_wndToolBar->addAction(Command(nId));
    }
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);
    // A drag from the Export button carries the loop out to a DAW or a file
    // manager (with Ctrl, rendered); a click still exports.
    if (QWidget* pExport = m_wndToolBar->widgetForAction(Command(ID_EXPORT))) {
        pExport->installEventFilter(this);
        pExport->setToolTip(QStringLiteral("Export (or drag the loop out as a MIDI file; with Ctrl, as audio)"));
    }
    setAcceptDrops(true);

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
    pFile->setObjectName(QStringLiteral("fileMenu"));
    for (int nId : {ID_LOOP_NEW, ID_LOOP_OPEN, ID_LOOP_SAVE, ID_LOOP_SAVE_AS, ID_EXPORT, ID_EXPORT_AUDIO})
        pFile->addAction(Command(nId));
    m_pRecentSeparator = pFile->addSeparator();
    for (int n = 0; n < kMaxRecent; ++n) {
        m_recent[n] = pFile->addAction(QString());
        connect(m_recent[n], &QAction::triggered, this, [this, n] { OnRecentFile(n); });
    }
    pFile->addSeparator();
    pFile->addAction(pExit);
    UpdateRecentMenu();
    QMenu* pEdit = menuBar()->addMenu(QStringLiteral("&Edit"));
    pEdit->setObjectName(QStringLiteral("editMenu"));
    for (int nId : {ID_EDIT_UNDO, ID_EDIT_REDO}) pEdit->addAction(Command(nId));
    pEdit->addSeparator();
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
        if ((nId >= ID_SHIFT_RIGHT && nId <= ID_SOUND) || nId == ID_EDIT_UNDO || nId == ID_EDIT_REDO)
            pAction->setEnabled(m_pView->IsCommandEnabled(nId));
    }
    // "Undo Paint", "Redo Rotate Right": the menu names the step.
    const CUndoHistory& history = m_doc.History();
    struct { int nId; const char* verb; const CUndoHistory::Step* pStep; } const steps[] = {
        {ID_EDIT_UNDO, "Undo", history.UndoStep()},
        {ID_EDIT_REDO, "Redo", history.RedoStep()},
    };
    for (const auto& step : steps) {
        const QString verb = QLatin1String(step.verb);
        const QString text = step.pStep ? verb + u' ' + QLatin1String(step.pStep->name) : verb;
        QAction* pAction = Command(step.nId);
        pAction->setText(u'&' + text);
        pAction->setToolTip(text);
    }
    // A recent file is an Open.
    for (QAction* pAction : m_recent) {
        if (pAction) pAction->setEnabled(m_pView->IsCommandEnabled(ID_LOOP_OPEN));
    }
}

QStringList CMainFrame::RecentFiles() const
{
    QStringList files;
    for (int n = 1; n <= kMaxRecent; ++n) {
        const QString path = m_doc.Settings().GetString(QStringLiteral("Recent File List"), QStringLiteral("File%1").arg(n), QString());
        if (!path.isEmpty() && !files.contains(path)) files.append(path);
    }
    return files;
}

void CMainFrame::StoreRecentFiles(const QStringList& files)
{
    CSettingsStore& settings = m_doc.Settings();
    for (int n = 1; n <= kMaxRecent; ++n)
        settings.SetString(QStringLiteral("Recent File List"), QStringLiteral("File%1").arg(n), files.value(n - 1));
    UpdateRecentMenu();
}

void CMainFrame::AddRecentFile(const QString& path)
{
    QStringList files = RecentFiles();
    if (!files.isEmpty() && files.front() == path) return;
    files.removeAll(path);
    files.prepend(path);
    StoreRecentFiles(files.mid(0, kMaxRecent));
}

void CMainFrame::UpdateRecentMenu()
{
    const QStringList files = RecentFiles();
    for (int n = 0; n < kMaxRecent; ++n) {
        QAction* pAction = m_recent[n];
        pAction->setVisible(n < files.size());
        if (n >= files.size()) continue;
        QString name = QFileInfo(files[n]).fileName();
        pAction->setText(QStringLiteral("&%1 %2").arg(n + 1).arg(name.replace(u'&', QStringLiteral("&&"))));
        const QString where = QDir::toNativeSeparators(files[n]);
        pAction->setStatusTip(QStringLiteral("Open %1").arg(where));
        pAction->setToolTip(where);
    }
    m_pRecentSeparator->setVisible(!files.isEmpty());
}

void CMainFrame::OnRecentFile(int nIndex)
{
    const QStringList files = RecentFiles();
    if (nIndex < 0 || nIndex >= files.size() || !m_pView->IsCommandEnabled(ID_LOOP_OPEN)) return;
    const QString path = files[nIndex];
    if (!QFileInfo(path).isFile()) {
        QStringList rest = files;
        rest.removeAt(nIndex);
        StoreRecentFiles(rest);
        m_pView->MessageBox(QStringLiteral("The loop %1 is no longer there. It has been taken off the list of recent "
                                           "files.")
                                .arg(QDir::toNativeSeparators(path)),
                            IRondoView::MsgKind::Ok);
        return;
    }
    m_doc.OpenLoopPathCommand(path);
    UpdateCommandUI();
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
    // 0: playback ended, so no device reports a tempo.
    SetPaneTextFit(1, nBPM > 0 ? QString::asprintf("%d BPM", nBPM) : QStringLiteral("BPM"));
}

QString CMainFrame::HelpFile()
{
    return RondoDataPath(QStringLiteral("help/index.html"));
}

void CMainFrame::OnHelpFinder()
{
    const QString path = HelpFile();
    const QPointer<CMainFrame> pFrame(this);
    const auto onFailed = [pFrame, path] {
        QApplication::beep();
        if (pFrame)
            pFrame->SetPaneTextFit(0, QStringLiteral("The help page %1 could not be opened.").arg(QDir::toNativeSeparators(path)));
    };
    if (!QFileInfo::exists(path) || !m_openUrl(QUrl::fromLocalFile(path), onFailed)) onFailed();
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

bool CMainFrame::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    switch (pEvent->type()) {
    case QEvent::MouseButtonPress: {
        const auto* pMouse = static_cast<QMouseEvent*>(pEvent);
        m_bDragArmed = pMouse->button() == Qt::LeftButton;
        m_dragStart = pMouse->position().toPoint();
        break;
    }
    case QEvent::MouseMove: {
        const auto* pMouse = static_cast<QMouseEvent*>(pEvent);
        if (!m_bDragArmed || !(pMouse->buttons() & Qt::LeftButton) ||
            (pMouse->position().toPoint() - m_dragStart).manhattanLength() < QApplication::startDragDistance())
            break;
        m_bDragArmed = false;
        if (QMimeData* pData = MakeLoopDragData(pMouse->modifiers() & Qt::ControlModifier)) {
            auto* pDrag = new QDrag(pWatched);
            pDrag->setMimeData(pData);
            pDrag->setPixmap(Command(ID_EXPORT)->icon().pixmap(32, 32));
            // The button must not take the end of the drag for a click.
            if (auto* pButton = qobject_cast<QAbstractButton*>(pWatched)) pButton->setDown(false);
            pDrag->exec(Qt::CopyAction);
            return true;
        }
        break;
    }
    case QEvent::MouseButtonRelease: m_bDragArmed = false; break;
    default: break;
    }
    return QMainWindow::eventFilter(pWatched, pEvent);
}

QMimeData* CMainFrame::MakeLoopDragData(bool bAudio)
{
    if (!m_pDragFolder) m_pDragFolder = std::make_unique<QTemporaryDir>();
    if (!m_pDragFolder->isValid()) return nullptr;
    // Named as Export names it; characters a file name cannot hold go.
    QString name = ansi::ToUnicode(m_doc.m_strLoopTitle).trimmed();
    name.replace(QRegularExpression(QStringLiteral("[/\\\\:*?\"<>|\\x00-\\x1f]")), QStringLiteral("_"));
    if (name.isEmpty() || name.startsWith(u'.')) name.prepend(QStringLiteral("loop"));

    QByteArray bytes;
    QString path, type, error;
    if (bAudio) {
        AudioFileJob job = m_doc.AudioExportChoices();
        path = m_pDragFolder->filePath(name + u'.' + CAudioFileWriter::Extension(job.format));
        job.target = path;
        // A failed render has told the user why.
        if (!m_doc.RenderAudioFile(job)) return nullptr;
        // A long render goes by its name only.
        const files::ReadResult read = files::ReadSmallFile(path, kMaxDragBytes, bytes, error);
        if (read != files::ReadResult::Read && read != files::ReadResult::TooLarge) {
            SetPaneTextFit(0, QStringLiteral("The loop could not be prepared for dragging: %1").arg(error));
            return nullptr;
        }
        type = job.format == AudioFormat::Flac ? QStringLiteral("audio/flac") : QStringLiteral("audio/wav");
    } else {
        m_doc.BuildMidiFile(false);
        bytes = QByteArray(reinterpret_cast<const char*>(m_doc.m_midiFile), m_doc.m_nDocSize);
        path = m_pDragFolder->filePath(name + QStringLiteral(".mid"));
        if (!files::WriteWholeFile(path, QByteArrayView(bytes), error)) {
            SetPaneTextFit(0, QStringLiteral("The loop could not be prepared for dragging: %1").arg(error));
            return nullptr;
        }
        type = QStringLiteral("audio/midi");
    }
    auto* pData = new QMimeData;
    pData->setUrls({QUrl::fromLocalFile(path)});
    if (!bytes.isEmpty()) pData->setData(type, bytes);
    return pData;
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* pEvent)
{
    // Our own drag from the Export button is no drop.
    if (pEvent->mimeData()->hasUrls() && pEvent->source() == nullptr) pEvent->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* pEvent)
{
    pEvent->acceptProposedAction();
    const QList<QUrl> urls = pEvent->mimeData()->urls();
    // Out of the drop's own handling first: the save prompt is a dialog.
    QMetaObject::invokeMethod(this, [this, urls] { OnDropFiles(urls); }, Qt::QueuedConnection);
}

void CMainFrame::OnDropFiles(const QList<QUrl>& urls)
{
    if (urls.isEmpty()) return;
    const auto tell = [this](const QString& text) { m_pView->MessageBox(text, IRondoView::MsgKind::Ok); };
    if (urls.size() > 1) {
        tell(QStringLiteral("Rondo opens one loop at a time: drop a single .rlf file."));
        return;
    }
    const QUrl& url = urls.front();
    if (!url.isLocalFile()) {
        tell(QStringLiteral("%1 cannot be opened: Rondo opens loop files on this computer only.").arg(url.toDisplayString()));
        return;
    }
    const QString path = url.toLocalFile();
    const QFileInfo info(path);
    const QString shown = QDir::toNativeSeparators(path);
    if (info.suffix().compare(QStringLiteral("rlf"), Qt::CaseInsensitive) != 0) {
        tell(QStringLiteral("%1 cannot be opened: Rondo opens its own loop files (.rlf).%2")
                 .arg(shown,
                      info.suffix().compare(QStringLiteral("mid"), Qt::CaseInsensitive) == 0
                          ? QStringLiteral(" A MIDI file goes into your sequencer.")
                          : QString()));
        return;
    }
    if (!info.isFile()) {
        tell(QStringLiteral("%1 cannot be opened: it is not a file.").arg(shown));
        return;
    }
    if (!m_pView->IsCommandEnabled(ID_LOOP_OPEN)) {
        tell(QStringLiteral("Stop the loop before you open %1.").arg(shown));
        return;
    }
    m_doc.OpenLoopPathCommand(path);
    UpdateCommandUI();
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
