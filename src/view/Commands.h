#pragma once

// The loop's commands, sent by the menu, the toolbar and the keys to the view.
enum RondoCommand : int {
    ID_SHIFT_RIGHT = 32771,
    ID_SHIFT_LEFT = 32772,
    ID_EXPORT = 32773,
    ID_NOTES = 32775,
    ID_PREFERENCES = 32776,
    ID_ADD_VOICE = 32779,
    ID_DELETE_VOICE = 32780,
    ID_LOOP_SAVE = 32782,
    ID_LOOP_SAVE_AS = 32783,
    ID_LOOP_OPEN = 32784,
    ID_LOOP_NEW = 32785,
    ID_MIDI = 32786,
    ID_SOUND = 32787,
    ID_EXPORT_AUDIO = 32788,
    ID_EDIT_UNDO = 57643,
    ID_EDIT_REDO = 57644,
};
