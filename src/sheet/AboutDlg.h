#pragma once

#include "sheet/StaticLink.h"

#include <QDialog>

// The About box: name and version, what the program does, the legal notice
// and the two links. Whether each link was opened is kept by the caller for
// the whole run.
class CAboutDlg final : public QDialog
{
    Q_OBJECT

public:
    static constexpr const char* kMail = "rondo@quillon.example";
    static constexpr const char* kWeb = "https://www.quillon.example/rondo/";

    // bVisited[0] belongs to the e-mail link, bVisited[1] to the web link.
    explicit CAboutDlg(bool (&bVisited)[2], QWidget* pParent = nullptr);

    static QString VersionText();
    static QString WordSizeText();

    CStaticLink m_linkMail;
    CStaticLink m_linkWeb;
};
