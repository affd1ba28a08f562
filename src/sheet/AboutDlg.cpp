#include "sheet/AboutDlg.h"

#include "view/DialogUnits.h"

#include <QGroupBox>
#include <QIcon>
#include <QPainter>
#include <QPushButton>
#include <QSysInfo>

#include <algorithm>

namespace {

// The application icon at the size of a dialog's icon, drawn for the
// screen's scale each time so it stays sharp.
class CIconStatic final : public QWidget
{
public:
    explicit CIconStatic(QWidget* pParent) : QWidget(pParent), m_icon(QStringLiteral(":/icons/rondo.svg"))
    {
        setFixedSize(32, 32);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        m_icon.paint(&p, rect());
    }

private:
    QIcon m_icon;
};

} // namespace

CAboutDlg::CAboutDlg(bool (&bVisited)[2], QWidget* pParent)
    : QDialog(pParent)
    , m_linkMail(this)
    , m_linkWeb(this)
{
    setWindowTitle(QStringLiteral("About Rondo"));
    const CDialogUnits du(fontMetrics());
    setFixedSize(du.X(242), du.Y(126));

    // Centred texts keep their centre: where the font is wider than the
    // form was drawn for, they widen both ways (within the box) rather than wrap.
    const auto place = [this, &du](QLabel* pLabel, int x, int y, int cx, int cy) {
        pLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        QRect rc = du.Rect(x, y, cx, cy);
        const QSize text = pLabel->fontMetrics().boundingRect(QRect(), Qt::AlignHCenter, pLabel->text()).size();
        if (text.width() + 2 > rc.width()) {
            const int cxWide = std::min(text.width() + 2, width());
            rc.setLeft(std::clamp(rc.center().x() - cxWide / 2, 0, width() - cxWide));
            rc.setWidth(cxWide);
        }
        rc.setHeight(std::max(rc.height(), text.height()));
        pLabel->setGeometry(rc);
    };
    const auto centred = [this, &place](const QString& text, int x, int y, int cx, int cy) {
        place(new QLabel(text, this), x, y, cx, cy);
    };

    QPushButton* pOk = new QPushButton(QStringLiteral("OK"), this);
    pOk->setDefault(true);
    pOk->setGeometry(du.Rect(175, 105, 40, 14));
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    (new CIconStatic(this))->move(du.X(140), du.Y(100));
    centred(VersionText(), 148, 8, 58, 8);
    (new QGroupBox(QStringLiteral("What Rondo Does"), this))->setGeometry(du.Rect(10, 15, 97, 38));
    centred(QStringLiteral("Creates drum loops\n for MIDI composers"), 18, 30, 84, 17);
    (new QGroupBox(QStringLiteral("Legal"), this))->setGeometry(du.Rect(11, 65, 97, 48));
    centred(QStringLiteral("Copyright \u00A9 2026\nQuillon Software\nAll rights reserved."), 18, 78, 84, 26);
    centred(WordSizeText() + QStringLiteral("\n\nby Quillon Software"), 143, 30, 72, 25);

    m_linkMail.setText(QString::fromLatin1(kMail));
    place(&m_linkMail, 128, 65, 100, 10);
    m_linkMail.m_pbVisited = &bVisited[0];
    // The page's address without its scheme fits the line; the link opens the full one.
    m_linkWeb.setText(QString::fromLatin1(kWeb).remove(QStringLiteral("https://")));
    m_linkWeb.m_link = QString::fromLatin1(kWeb);
    place(&m_linkWeb, 118, 81, 120, 10);
    m_linkWeb.m_pbVisited = &bVisited[1];
    // The links come after OK in the tab order, as they were made last.
    setTabOrder(pOk, &m_linkMail);
    setTabOrder(&m_linkMail, &m_linkWeb);
    pOk->setFocus();
}

QString CAboutDlg::VersionText()
{
    return QStringLiteral("Rondo Version " RONDO_VERSION);
}

QString CAboutDlg::WordSizeText()
{
    return QStringLiteral("A %1 bit application").arg(QSysInfo::WordSize);
}
