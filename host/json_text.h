#pragma once
// Additions to the text of a JSON document that leave every other byte as it was: a project file
// kept by hand keeps its key order, its indentation and its line breaks when kib-host adds items
// or devices to it. A new element goes after the last one of its array, on a line of its own when
// that one has its own line (with the same indentation), else on the same line.

#include <QByteArray>
#include <QList>

namespace json_text {

// Appends the elements (JSON texts) to the "items" array of devices[deviceIndex] of the root
// object, making the array when the device has none. False, with the text untouched, when the
// document does not have that shape.
bool appendItems(QByteArray& document, int deviceIndex, const QList<QByteArray>& items);
// Appends the element to the root object's "devices" array (made when missing).
bool appendDevice(QByteArray& document, const QByteArray& device);

} // namespace json_text
