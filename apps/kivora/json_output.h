#pragma once
// The program's machine-readable output goes through Qt's JSON classes. These
// few helpers keep the conventions in one place: numbers that are not finite
// (unknown values) become null, text is UTF-8 (invalid bytes become U+FFFD),
// and each document is one compact line.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <cmath>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>

namespace kivora::app {

inline QJsonValue JsonNumber(double v) { return std::isfinite(v) ? QJsonValue(v) : QJsonValue(QJsonValue::Null); }
inline QJsonValue JsonInt(int64_t v) { return QJsonValue(static_cast<qint64>(v)); }
inline QJsonValue JsonString(const std::string& s) { return QJsonValue(QString::fromStdString(s)); }

inline QJsonObject JsonStringMap(const std::map<std::string, std::string>& m) {
  QJsonObject o;
  for (const auto& [key, value] : m) o.insert(QString::fromStdString(key), JsonString(value));
  return o;
}

// The object as one line of compact JSON.
inline void PrintJson(std::ostream& out, const QJsonObject& o) {
  out << QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() << "\n";
}

}  // namespace kivora::app
