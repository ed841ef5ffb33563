#include "project.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include "json_text.h"
#include <QJsonParseError>
#include <QSaveFile>
#include <QSet>

#include <cmath>

namespace kib_host {

namespace {

const QString kSettings = QStringLiteral("settings");
const QString kDevices = QStringLiteral("devices");
const QString kItems = QStringLiteral("items");
const QString kColumns = QStringLiteral("columns");

// Texts and numbers are taken as they would be typed into a host's form; 4450 and "4450" mean
// the same. Anything else is a mistake in the file.
bool valueText(const QJsonValue& value, QString* text)
{
    if (value.isString()) {
        *text = value.toString();
        return true;
    }
    if (value.isDouble()) {
        const double number = value.toDouble();
        *text = number == std::floor(number) && std::fabs(number) < 1e15
                    ? QString::number(static_cast<qint64>(number))
                    : QString::number(number);
        return true;
    }
    if (value.isBool()) {
        *text = value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
        return true;
    }
    return false;
}

class Reader
{
public:
    explicit Reader(const QString& path) : path(path) {}

    bool fail(const QString& reason)
    {
        error = path + QStringLiteral(": ") + reason;
        return false;
    }

    // An absent key is an empty map; present, it must be an object of texts or numbers.
    bool columns(const QJsonObject& object, const QString& key, const QString& where, Columns* out)
    {
        const QJsonValue value = object.value(key);
        if (value.isUndefined() || value.isNull()) {
            return true;
        }
        if (!value.isObject()) {
            return fail(QStringLiteral("%1 \"%2\" must be an object").arg(where, key));
        }
        const QJsonObject map = value.toObject();
        for (auto it = map.begin(); it != map.end(); ++it) {
            QString text;
            if (!valueText(it.value(), &text)) {
                return fail(QStringLiteral("%1 \"%2\" value \"%3\" must be a text or a number")
                                .arg(where, key, it.key()));
            }
            out->insert(it.key(), text);
        }
        return true;
    }

    bool text(const QJsonObject& object, const QString& key, const QString& where, QString* out)
    {
        const QJsonValue value = object.value(key);
        if (value.isUndefined() || value.isNull()) {
            return true;
        }
        if (!valueText(value, out)) {
            return fail(QStringLiteral("%1 \"%2\" must be a text").arg(where, key));
        }
        return true;
    }

    bool item(const QJsonValue& value, const QString& where, ProjectItem* out)
    {
        if (!value.isObject()) {
            return fail(where + QStringLiteral(" must be an object"));
        }
        const QJsonObject object = value.toObject();
        if (!text(object, QStringLiteral("uid"), where, &out->uid) ||
            !text(object, QStringLiteral("name"), where, &out->name) ||
            !text(object, QStringLiteral("description"), where, &out->description) ||
            !columns(object, kColumns, where, &out->columns)) {
            return false;
        }
        if (out->uid.trimmed().isEmpty()) {
            return fail(where + QStringLiteral(" needs a \"uid\""));
        }
        if (!uids.contains(out->uid)) {
            uids.insert(out->uid);
            return true;
        }
        return fail(QStringLiteral("item uid \"%1\" appears twice").arg(out->uid));
    }

    bool device(const QJsonValue& value, const QString& where, ProjectDevice* out)
    {
        if (!value.isObject()) {
            return fail(where + QStringLiteral(" must be an object"));
        }
        const QJsonObject object = value.toObject();
        const QJsonValue id = object.value(QStringLiteral("id"));
        const double number = id.toDouble(0);
        if (!id.isDouble() || number < 1 || number > 2147483647 || number != std::floor(number)) {
            return fail(where +
                        QStringLiteral(" needs an \"id\" that is a whole number from 1 up"));
        }
        out->id = static_cast<int>(number);
        if (ids.contains(out->id)) {
            return fail(QStringLiteral("device id %1 appears twice").arg(out->id));
        }
        ids.insert(out->id);
        const QString device = QStringLiteral("device %1").arg(out->id);
        if (!text(object, QStringLiteral("uid"), device, &out->uid) ||
            !text(object, QStringLiteral("name"), device, &out->name) ||
            !text(object, QStringLiteral("description"), device, &out->description) ||
            !text(object, QStringLiteral("address"), device, &out->address) ||
            !columns(object, kColumns, device, &out->columns)) {
            return false;
        }
        const QJsonValue items = object.value(kItems);
        if (items.isUndefined() || items.isNull()) {
            return true;
        }
        if (!items.isArray()) {
            return fail(device + QStringLiteral(" \"items\" must be an array"));
        }
        const QJsonArray array = items.toArray();
        for (int i = 0; i < array.size(); ++i) {
            ProjectItem item;
            if (!this->item(array.at(i), QStringLiteral("%1 items[%2]").arg(device).arg(i),
                            &item)) {
                return false;
            }
            out->items.append(item);
        }
        return true;
    }

    QString path;
    QString error;
    QSet<int> ids;
    QSet<QString> uids;
};

QJsonObject columnsToJson(const Columns& columns)
{
    QJsonObject object;
    for (auto it = columns.begin(); it != columns.end(); ++it) {
        object.insert(it.key(), it.value());
    }
    return object;
}

QJsonObject itemToJson(const ProjectItem& item)
{
    QJsonObject object{{QStringLiteral("uid"), item.uid}, {QStringLiteral("name"), item.name}};
    if (!item.description.isEmpty()) {
        object.insert(QStringLiteral("description"), item.description);
    }
    object.insert(kColumns, columnsToJson(item.columns));
    return object;
}

QJsonObject deviceToJson(const ProjectDevice& device)
{
    QJsonObject object{{QStringLiteral("id"), device.id}};
    if (!device.uid.isEmpty()) {
        object.insert(QStringLiteral("uid"), device.uid);
    }
    object.insert(QStringLiteral("name"), device.name);
    if (!device.description.isEmpty()) {
        object.insert(QStringLiteral("description"), device.description);
    }
    object.insert(QStringLiteral("address"), device.address);
    object.insert(kColumns, columnsToJson(device.columns));
    QJsonArray items;
    for (const ProjectItem& item : device.items) {
        items.append(itemToJson(item));
    }
    object.insert(kItems, items);
    return object;
}

// One line of JSON, its keys in the order a person reads them (QJsonDocument sorts them).
QByteArray jsonText(const QString& value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray columnsText(const Columns& columns)
{
    QByteArrayList pairs;
    for (auto it = columns.begin(); it != columns.end(); ++it) {
        pairs.append(jsonText(it.key()) + ": " + jsonText(it.value()));
    }
    return '{' + pairs.join(", ") + '}';
}

QByteArray itemText(const ProjectItem& item)
{
    QByteArray text = "{\"uid\": " + jsonText(item.uid) + ", \"name\": " + jsonText(item.name);
    if (!item.description.isEmpty()) {
        text += ", \"description\": " + jsonText(item.description);
    }
    return text + ", \"columns\": " + columnsText(item.columns) + '}';
}

QByteArray deviceText(const ProjectDevice& device)
{
    QByteArray text = "{\"id\": " + QByteArray::number(device.id);
    if (!device.uid.isEmpty()) {
        text += ", \"uid\": " + jsonText(device.uid);
    }
    text += ", \"name\": " + jsonText(device.name);
    if (!device.description.isEmpty()) {
        text += ", \"description\": " + jsonText(device.description);
    }
    text += ", \"address\": " + jsonText(device.address) +
            ", \"columns\": " + columnsText(device.columns) + ", \"items\": [";
    QByteArrayList items;
    for (const ProjectItem& item : device.items) {
        items.append(itemText(item));
    }
    return text + items.join(", ") + "]}";
}

} // namespace

bool Project::load(const QString& path, Project* project, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("cannot read the project file %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QByteArray text = file.readAll();
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    Reader reader(path);
    if (parseError.error != QJsonParseError::NoError) {
        reader.fail(QStringLiteral("not valid JSON: %1 at byte %2")
                        .arg(parseError.errorString())
                        .arg(parseError.offset));
    } else if (!document.isObject()) {
        reader.fail(QStringLiteral("the project must be a JSON object"));
    }
    if (!reader.error.isEmpty()) {
        *error = reader.error;
        return false;
    }

    Project loaded;
    loaded.filePath = path;
    loaded.root = document.object();
    loaded.text = text;
    if (!reader.columns(loaded.root, kSettings, QStringLiteral("the project's"),
                        &loaded.hostSettings)) {
        *error = reader.error;
        return false;
    }
    const QJsonValue devices = loaded.root.value(kDevices);
    if (!devices.isUndefined() && !devices.isNull() && !devices.isArray()) {
        *error = path + QStringLiteral(": \"devices\" must be an array");
        return false;
    }
    const QJsonArray array = devices.toArray();
    for (int i = 0; i < array.size(); ++i) {
        ProjectDevice device;
        if (!reader.device(array.at(i), QStringLiteral("devices[%1]").arg(i), &device)) {
            *error = reader.error;
            return false;
        }
        loaded.deviceList.append(device);
    }
    *project = loaded;
    return true;
}

bool Project::save(QString* error) const
{
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write the project file %1: %2")
                     .arg(filePath, file.errorString());
        return false;
    }
    file.write(text.isEmpty() ? QJsonDocument(root).toJson(QJsonDocument::Indented) : text);
    if (!file.commit()) {
        *error = QStringLiteral("cannot write the project file %1: %2")
                     .arg(filePath, file.errorString());
        return false;
    }
    return true;
}

const ProjectDevice* Project::device(int id) const
{
    for (const ProjectDevice& device : deviceList) {
        if (device.id == id) {
            return &device;
        }
    }
    return nullptr;
}

void Project::addItems(int deviceId, const QList<ProjectItem>& items)
{
    QJsonArray devices = root.value(kDevices).toArray();
    for (int i = 0; i < deviceList.size(); ++i) {
        if (deviceList[i].id != deviceId) {
            continue;
        }
        deviceList[i].items.append(items);
        // The device keeps every key of its own; only its item list grows.
        QJsonObject device = devices.at(i).toObject();
        QJsonArray itemArray = device.value(kItems).toArray();
        QList<QByteArray> itemTexts;
        for (const ProjectItem& item : items) {
            itemArray.append(itemToJson(item));
            itemTexts.append(itemText(item));
        }
        if (!json_text::appendItems(text, i, itemTexts)) {
            text.clear(); // a shape the text additions do not know: the whole file is written
        }
        device.insert(kItems, itemArray);
        devices.replace(i, device);
        root.insert(kDevices, devices);
        return;
    }
}

int Project::addDevice(ProjectDevice device)
{
    int id = 0;
    for (const ProjectDevice& existing : deviceList) {
        id = std::max(id, existing.id);
    }
    device.id = id + 1;
    deviceList.append(device);
    QJsonArray devices = root.value(kDevices).toArray();
    devices.append(deviceToJson(device));
    root.insert(kDevices, devices);
    if (!json_text::appendDevice(text, deviceText(device))) {
        text.clear();
    }
    return device.id;
}

} // namespace kib_host
