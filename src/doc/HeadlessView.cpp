#include "doc/HeadlessView.h"

#include "doc/RondoDoc.h"

CHeadlessView::CHeadlessView(CRondoDoc& doc) : m_doc(doc) {}

void CHeadlessView::AddVoice()
{
    if (m_nVoices >= CRondoDoc::kMaxRows) return;
    ++m_nVoices;
}

void CHeadlessView::DeleteVoice()
{
    const int row = --m_nVoices;
    m_doc.ClearVoiceCells(row);
    if (m_nCurVoice == row) m_nCurVoice = 0;
}

IRondoView::MsgResult CHeadlessView::MessageBox(const QString& text, MsgKind kind)
{
    m_messages.append(text);
    if (m_onMessage) return m_onMessage(text, kind);
    return kind == MsgKind::YesNoCancel ? MsgResult::Cancel : MsgResult::Ok;
}

std::optional<QString> CHeadlessView::ChooseFile(FileKind kind, const QString& initialName)
{
    m_fileRequests.append(initialName);
    if (m_onChooseFile) return m_onChooseFile(kind, initialName);
    return std::nullopt;
}

bool CHeadlessView::SaveLoop()
{
    return m_doc.SaveLoopCommand();
}

void CHeadlessView::PostBpmFromDevice(int nBPM)
{
    m_nLastBpmReport.store(nBPM);
    m_nBpmReports.fetch_add(1);
}

int CHeadlessView::RunPosted()
{
    const int n = m_nFailurePosts.exchange(0);
    for (int i = 0; i < n; ++i) m_doc.OnPlaybackFailed();
    return n;
}
