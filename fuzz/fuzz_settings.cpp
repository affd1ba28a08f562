// Any bytes as the preferences file, and as the legacy INI file that the
// first start imports: every value reads as the caller's default or as what
// the file says, bounded, and the document and the synthesizer take only
// usable values from it.

#include "FuzzCheck.h"
#include "doc/RondoDoc.h"
#include "midiout/SynthDriver.h"
#include "midiout/VirtualMidiOut.h"
#include "settings/IniFormat.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <clocale>
#include <cstdlib>
#include <set>
#include <utility>

namespace {

const QString kKey = QStringLiteral("Quillon Software/Rondo");
// Longer than any value the store hands out, so never mistaken for one.
const QString kAbsent = QString(300, u'a');
constexpr int kDefault = 12345;
constexpr int kMaxKeysChecked = 32;

// The values the program reads.
const char* const kProgramKeys[][2] = {
    {"Device", "ID"},        {"Doc", "Channel"},      {"Doc", "Instrument"},    {"Doc", "ProgChgExport"},
    {"Doc", "ProgChgStream"}, {"Doc", "Save"},        {"Prefs", "Composer"},    {"Prefs", "Company"},
    {"Prefs", "LoopTitle"},  {"Synth", "SoundFont"},  {"Synth", "AudioDriver"}, {"Synth", "Gain"},
    {"Synth", "AudioFile"},  {"Open", "DirPath"},     {"Save", "DirPath"},      {"Export", "DirPath"},
    {"Screen", "x"},         {"Screen", "cx"},        {"Color", "Note"},
};

QTemporaryDir* g_dir = nullptr;
QString g_prefsRoot;

// "%d" as the C library reads it: strtol's 64-bit long, of which an int
// keeps the low 32 bits.
int ReferenceParse(const QString& text, int nDefault)
{
    const QByteArray bytes = text.toUtf8();
    char* end = nullptr;
    const long value = std::strtol(bytes.constData(), &end, 10);
    if (end == bytes.constData()) return nDefault;
    return static_cast<int>(static_cast<unsigned int>(static_cast<unsigned long>(value)));
}

void CheckValue(const CSettingsStore& store, const QString& section, const QString& name)
{
    const QString text = store.GetString(section, name, kAbsent);
    const int value = store.GetInt(section, name, kDefault);
    if (text == kAbsent) {
        FUZZ_CHECK(value == kDefault);
        return;
    }
    FUZZ_CHECK(text.toUtf8().size() < CSettingsStore::kValueBufferSize);
    FUZZ_CHECK(value == ReferenceParse(text, kDefault));
}

// The program's values and whatever else the file holds read consistently,
// and a new loop and the synthesizer take only usable ones.
void CheckStore(const CSettingsStore& store)
{
    std::set<std::pair<QString, QString>> keys;
    for (const auto& key : kProgramKeys) keys.emplace(QString::fromLatin1(key[0]), QString::fromLatin1(key[1]));
    ini::SettingsMap map;
    ini::Parse(fuzz::ReadAll(store.FilePath()), map);
    const QStringList stored = map.keys();
    for (qsizetype k = 0; k < stored.size() && k < kMaxKeysChecked; ++k) {
        const qsizetype slash = stored[k].indexOf(u'/');
        if (slash < 0) keys.emplace(QString(), stored[k]);
        else keys.emplace(stored[k].left(slash), stored[k].mid(slash + 1));
    }
    for (const auto& [section, name] : keys) CheckValue(store, section, name);

    CVirtualMidiOut midiOut;
    CRondoDoc doc(const_cast<CSettingsStore&>(store), midiOut);
    doc.ResetLoop();
    FUZZ_CHECK(doc.m_uDeviceID == MIDI_MAPPER);
    FUZZ_CHECK(doc.m_nChannel >= 0 && doc.m_nChannel <= 15 && doc.m_nInstrument >= 0);
    for (const std::string* text : {&doc.m_strComposer, &doc.m_strCompany, &doc.m_strLoopTitle})
        FUZZ_CHECK(text->size() <= CRondoDoc::kTextMax && text->find('\0') == std::string::npos);
    const SynthOptions synth = SynthOptions::FromSettings(store);
    FUZZ_CHECK(synth.gain > 0.0 && synth.gain <= 10.0);
    FUZZ_CHECK(!synth.soundFont.isEmpty() && !synth.audioFile.isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // strtol's blanks must be the C locale's.
    std::setlocale(LC_ALL, "C");
    g_dir = new QTemporaryDir(fuzz::TemporaryTemplate());
    if (!g_dir->isValid()) return 1;
    // Set once: every change of the environment keeps its old strings.
    const QString home = g_dir->filePath(QStringLiteral("home")), system = g_dir->filePath(QStringLiteral("system"));
    qputenv("XDG_CONFIG_HOME", home.toLocal8Bit());
    qputenv("XDG_CONFIG_DIRS", system.toLocal8Bit());
    g_prefsRoot = g_dir->filePath(QStringLiteral("prefs"));
    return QDir().mkpath(home) && QDir().mkpath(system) && QDir().mkpath(g_prefsRoot + QStringLiteral("/Quillon Software"))
               ? 0
               : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // As the preferences file.
    if (fuzz::WriteAll(g_prefsRoot + u'/' + kKey + QStringLiteral(".ini"), data, size)) {
        CSettingsStore store;
        bool bCreated = true;
        FUZZ_CHECK(store.Open(g_prefsRoot, kKey, &bCreated) && !bCreated);
        CheckStore(store);
    }

    // As the legacy file, imported by the first start, which creates the
    // store; importing it again changes nothing.
    if (fuzz::WriteAll(CSettingsStore::LegacyIniPath(), data, size)) {
        QFile::remove(CSettingsStore::DefaultRoot() + u'/' + kKey + QStringLiteral(".ini"));
        CSettingsStore store;
        FUZZ_CHECK(store.OpenForApplication());
        CheckStore(store);
        const QByteArray imported = fuzz::ReadAll(store.FilePath());
        store.ImportIniFile();
        FUZZ_CHECK(fuzz::ReadAll(store.FilePath()) == imported);
    }
    return 0;
}
