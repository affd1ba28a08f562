#include "doc/LoopState.h"

const char* cells::LevelName(CellLevel level)
{
    switch (level) {
    case CellLevel::Off: return "off";
    case CellLevel::Ghost: return "ghost";
    case CellLevel::Accent: return "accent";
    case CellLevel::On: break;
    }
    return "on";
}
