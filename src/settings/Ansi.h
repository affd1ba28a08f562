#pragma once

#include <QString>
#include <string>

// Texts live in the document and in its files as Windows-1252 bytes; the user
// interface and the settings file speak Unicode.
namespace ansi {

// Characters that Windows-1252 cannot hold become '?'.
std::string FromUnicode(const QString& text);
QString ToUnicode(const std::string& bytes);

// The bytes of a fixed-size text field up to its first NUL (or the whole field
// when it holds none), cut to at most maxLen bytes.
std::string FromField(const unsigned char* field, size_t fieldSize, size_t maxLen);

// Cuts at the first NUL, then to at most maxLen bytes.
std::string Bounded(std::string text, size_t maxLen);

} // namespace ansi
