// Renders the loop into a Standard MIDI File image (format 1, two tracks).
// The stream form of the note events is a fixed block that playback reads
// step by step; the export form is a compact list with running status.

#include "doc/RondoDoc.h"

#include <cstring>
#include <string>

namespace {

// Bounds-checked writer over the image buffer. Texts are bounded well below
// what the buffer holds, so a refusal here means a programming error; it
// truncates rather than overruns.
class CImageWriter
{
public:
    CImageWriter(uint8_t* begin, uint8_t* end, uint8_t* pos) : m_begin(begin), m_end(end), m_pos(pos) {}

    void Byte(unsigned value)
    {
        if (m_pos < m_end) *m_pos++ = static_cast<uint8_t>(value);
    }
    void Bytes(std::initializer_list<unsigned> values)
    {
        for (unsigned v : values) Byte(v);
    }
    void Be16(int value)
    {
        Byte((static_cast<unsigned>(value) >> 8) & 0xFF);
        Byte(static_cast<unsigned>(value) & 0xFF);
    }
    void Be32(uint32_t value)
    {
        for (int shift = 24; shift >= 0; shift -= 8) Byte((value >> shift) & 0xFF);
    }
    // Deltas never exceed one bar (480 ticks), so two bytes always suffice.
    void Vlq(unsigned value)
    {
        if (value < 0x80) {
            Byte(value);
        } else {
            Byte(0x80 | ((value >> 7) & 0x7F));
            Byte(value & 0x7F);
        }
    }
    void Text(unsigned type, const std::string& text)
    {
        Bytes({0x00, 0xFF, type, static_cast<unsigned>(text.size()) & 0xFF});
        for (char c : text) Byte(static_cast<uint8_t>(c));
    }
    uint8_t* Pos() const { return m_pos; }
    void Seek(uint8_t* pos) { m_pos = pos; }
    // Fills in a chunk length field at lengthField with the bytes written after it.
    void PatchLength(uint8_t* lengthField)
    {
        const uint32_t len = static_cast<uint32_t>(m_pos - (lengthField + 4));
        for (int i = 0; i < 4; ++i) lengthField[i] = static_cast<uint8_t>(len >> (24 - 8 * i));
    }
    int Size() const { return static_cast<int>(m_pos - m_begin); }

private:
    uint8_t* m_begin;
    uint8_t* m_end;
    uint8_t* m_pos;
};

} // namespace

void CRondoDoc::BuildMidiFile(bool bForStream)
{
    std::lock_guard<std::mutex> guard(m_lock);
    CountUsedVoices();

    CImageWriter w(m_midiFile, m_midiFile + kMidiFileSize, m_midiFile);
    w.Bytes({'M', 'T', 'h', 'd', 0, 0, 0, 6});
    w.Be16(m_nFormat);
    w.Be16(m_nTracks);
    w.Be16(m_nDivision);

    // Conductor track.
    w.Bytes({'M', 'T', 'r', 'k'});
    uint8_t* lengthField = w.Pos();
    w.Be32(0);
    w.Text(0x03, m_strLoopTitle);
    w.Text(0x02, m_strCopyright + m_strComposer);
    w.Text(0x02, m_strCompany);
    w.Bytes({0x00, 0xFF, 0x58, 0x04, 0x04, 0x02, 0x18, 0x08});
    w.Bytes({0x00, 0xFF, 0x59, 0x02, 0x00, 0x00});
    const uint32_t tempo = 60000000u / static_cast<uint32_t>(m_nBPM > 0 ? m_nBPM : 1);
    w.Bytes({0x00, 0xFF, 0x51, 0x03, (tempo >> 16) & 0xFF, (tempo >> 8) & 0xFF, tempo & 0xFF});
    w.Bytes({0x00, 0xFF, 0x2F, 0x00});
    w.PatchLength(lengthField);

    // Drum track.
    w.Bytes({'M', 'T', 'r', 'k'});
    lengthField = w.Pos();
    w.Be32(0);
    w.Bytes({0x00, 0xFF, 0x21, 0x01, 0x37});
    w.Text(0x03, m_strTrackName);
    if (bForStream ? m_bProgChgStream : m_bProgChgExport) {
        w.Bytes({0x00, m_byProgChange, static_cast<unsigned>(static_cast<uint8_t>(m_nInstrument))});
    }
    m_pNoteEvents = w.Pos();
    w.Seek(WriteNoteEvents(bForStream));
    unsigned endDelta = 0;
    if (!bForStream) {
        // The track ends at the bar line, so a sequencer loops it at one bar
        // even when its last steps are silent.
        int lastSounding = -1;
        for (int s = 0; s < kBeats; ++s) {
            for (int v = 0; v < m_nUsedVoices; ++v) {
                if (m_cells[v][s] != 0) lastSounding = s;
            }
        }
        endDelta = static_cast<unsigned>(m_nTicksPerStep) * static_cast<unsigned>(kBeats - 1 - lastSounding);
    }
    w.Vlq(endDelta);
    w.Bytes({0xFF, 0x2F, 0x00});
    w.PatchLength(lengthField);
    m_nDocSize = w.Size();
}

uint8_t* CRondoDoc::WriteNoteEvents(bool bForStream)
{
    CImageWriter w(m_midiFile, m_midiFile + kMidiFileSize, m_pNoteEvents);
    // Swing moves the notes of every off-beat step later; they still end at
    // the next step, so every step keeps its length.
    const unsigned swingDelay = unsigned(swing::DelayTicks(m_nSwing, m_nTicksPerStep));
    auto lateBy = [swingDelay](int s) { return s % 2 == 1 ? swingDelay : 0u; };
    if (bForStream) {
        for (int s = 0; s < kBeats; ++s) {
            for (int v = 0; v < kVoices; ++v) {
                // Muted voices are silent here only: the export plays them all.
                const unsigned velocity = IsAudible(v) ? cells::Velocity(m_cells[v][s], m_voices[v].byVelocity) : 0u;
                w.Bytes({v == 0 ? lateBy(s) : 0u, m_byNoteOn, m_voices[v].byPitch, velocity});
            }
            for (int v = 0; v < kVoices; ++v) {
                w.Bytes({v == 0 ? m_nTicksPerStep - lateBy(s) : 0u, m_byNoteOn, m_voices[v].byPitch, 0x00});
            }
        }
        return w.Pos();
    }

    unsigned pending = 0;
    bool bStatusWritten = false;
    for (int s = 0; s < kBeats; ++s) {
        bool bFirst = true;
        for (int v = 0; v < m_nUsedVoices; ++v) {
            if (m_cells[v][s] == 0) continue;
            if (bFirst) {
                w.Vlq(pending + lateBy(s));
                if (!bStatusWritten) {
                    w.Byte(m_byNoteOn);
                    bStatusWritten = true;
                }
                bFirst = false;
            } else {
                w.Byte(0x00);
            }
            w.Bytes({m_voices[v].byPitch, cells::Velocity(m_cells[v][s], m_voices[v].byVelocity)});
        }
        if (bFirst) {
            pending += m_nTicksPerStep;
            continue;
        }
        bool bFirstOff = true;
        for (int v = 0; v < m_nUsedVoices; ++v) {
            if (m_cells[v][s] == 0) continue;
            w.Bytes({bFirstOff ? m_nTicksPerStep - lateBy(s) : 0u, m_voices[v].byPitch, 0x00});
            bFirstOff = false;
        }
        pending = 0;
    }
    return w.Pos();
}
