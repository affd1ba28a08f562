#pragma once

#include <cstdint>

// What a loop is made of, apart from its texts: the grid with each cell's
// level, the voices, the tempo, the swing and the MIDI choices that travel
// with it. An undo step keeps one of these.

constexpr int kLoopVoices = 12;
constexpr int kLoopBeats = 16;

// One voice, laid out as the loop file holds it.
struct VoiceRecord
{
    uint8_t byPitch;
    uint8_t byVelocity;
    char szName[17];
    bool operator==(const VoiceRecord&) const = default;
};
static_assert(sizeof(VoiceRecord) == 19, "voice records are packed: the loop file holds them as they are");

// How loud a cell plays, from silent to loudest.
enum class CellLevel : int { Off = 0, Ghost = 1, On = 2, Accent = 3 };

namespace cells {

// A cell's 32-bit value: 0 is off and 1 on, as loops have always held them.
// Accent and ghost carry a tag in the upper half, so no loop written without
// them holds either by accident, and a reader that knows only "non-zero is
// on" still plays them.
constexpr int32_t kOff = 0;
constexpr int32_t kOn = 1;
constexpr int32_t kTag = 0x43410000;  // "AC" in the upper half
constexpr int32_t kAccent = kTag | 2;
constexpr int32_t kGhost = kTag | 3;

constexpr int kAccentVelocity = 127;
constexpr int kGhostPercent = 45;

constexpr CellLevel LevelOf(int32_t value)
{
    if (value == kOff) return CellLevel::Off;
    if (value == kAccent) return CellLevel::Accent;
    if (value == kGhost) return CellLevel::Ghost;
    return CellLevel::On;  // any other non-zero value
}

constexpr int32_t ValueOf(CellLevel level)
{
    switch (level) {
    case CellLevel::Off: return kOff;
    case CellLevel::Ghost: return kGhost;
    case CellLevel::Accent: return kAccent;
    case CellLevel::On: break;
    }
    return kOn;
}

// The note-on velocity a cell plays with.
constexpr uint8_t Velocity(int32_t value, uint8_t voiceVelocity)
{
    switch (LevelOf(value)) {
    case CellLevel::Off: return 0;
    case CellLevel::Accent: return uint8_t(kAccentVelocity);
    case CellLevel::Ghost: {
        // Soft, but never silent while the voice itself sounds.
        const int ghost = voiceVelocity * kGhostPercent / 100;
        return uint8_t(ghost > 0 || voiceVelocity == 0 ? ghost : 1);
    }
    case CellLevel::On: break;
    }
    return voiceVelocity;
}

// Shift+click and Shift+Space: off, on, accent, ghost, and round again.
constexpr CellLevel Cycle(CellLevel level)
{
    switch (level) {
    case CellLevel::Off: return CellLevel::On;
    case CellLevel::On: return CellLevel::Accent;
    case CellLevel::Accent: return CellLevel::Ghost;
    case CellLevel::Ghost: break;
    }
    return CellLevel::Off;
}

// The wheel: one level louder (nSteps > 0) or softer, within off..accent.
constexpr CellLevel Step(CellLevel level, int nSteps)
{
    int n = int(level) + nSteps;
    if (n < int(CellLevel::Off)) n = int(CellLevel::Off);
    if (n > int(CellLevel::Accent)) n = int(CellLevel::Accent);
    return CellLevel(n);
}

// "off", "ghost", "on" or "accent".
const char* LevelName(CellLevel level);

} // namespace cells

// The off-beat sixteenths start later by the swing: 50 % plays straight,
// 75 % puts them three quarters of the way through their eighth note.
namespace swing {

constexpr int kStraight = 50;
constexpr int kMax = 75;

// Ticks an off-beat step's notes come late, in whole ticks of the loop.
constexpr int DelayTicks(int nSwing, int nTicksPerStep)
{
    if (nSwing <= kStraight) return 0;
    if (nSwing > kMax) nSwing = kMax;
    return (2 * nTicksPerStep * nSwing + 50) / 100 - nTicksPerStep;
}

} // namespace swing

struct LoopState
{
    int32_t cells[kLoopVoices][kLoopBeats]{};
    VoiceRecord voices[kLoopVoices]{};
    int32_t nBPM = 0;
    int32_t nSwing = swing::kStraight;
    uint32_t uDeviceID = 0;
    int8_t nChannel = 0;
    int8_t nInstrument = 0;
    bool operator==(const LoopState&) const = default;
};
