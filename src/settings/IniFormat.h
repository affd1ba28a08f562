#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

// The preferences file: INI text as QSettings writes it, read and written by
// our own code so that no value is ever decoded as a serialized object. A
// damaged or hand-edited file could otherwise make QSettings deserialize
// arbitrary bytes (@Variant, @DateTime) on any read.
namespace ini {

// Keys are "section/name" (a name alone outside any section); values are
// strings or, for an unquoted comma, string lists.
using SettingsMap = QMap<QString, QVariant>;

// Adds the file's values to map, in time linear in its size.
void Parse(QByteArrayView data, SettingsMap& map);
QByteArray Text(const SettingsMap& map);

// The key of name in section, as Parse spells it.
QString Key(const QString& section, const QString& name);

// --- the pieces, as QSettings' INI files spell them ---

// "%XX", "%UXXXX" and "\" (for "/") in keys and section names.
QString UnescapeKey(QByteArrayView key);
QByteArray EscapeKey(const QString& key);

// A value's text: quotes, backslash escapes and unquoted commas, which make
// it a list. Returns true (and fills list) for a list, else fills text.
bool UnescapeValue(QByteArrayView value, QString& text, QStringList& list);
QByteArray EscapeValue(const QString& text);

// The text a stored string stands for: "@@x" is "@x", "@String(x)" and
// "@ByteArray(x)" are x, other typed values are no text at all.
std::optional<QString> DecodeTyped(const QString& stored);

} // namespace ini
