#pragma once
// Records that pass between the KIB host and its device plugins. They are plain copyable value
// types; a plugin reads and writes only some of their fields and carries the others unchanged.
// Field order follows the host's layout.

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVector>

struct PluginInstancePlugin
{
    qint32 id = 0;
    QString name;
    QString fileName;
    bool enabled = true;
};

struct FileInstancePlugin
{
    qint32 id = 0;
    QString name;
    QString path;
};

struct Mapping
{
    qint32 id = 0;
    QString source;
    QString target;
};

struct ItemInstancePlugin
{
    qint32 id = 0;
    QString uid; // unique item key
    QString name;
    QString description;
    QString unit;
    bool enabled = false;
    qint32 precision = 0;
    float scale = 1.0f;
    bool writable = false;
    QString format;
    qint32 readInterval = 0; // milliseconds
    bool logged = false;
    float offset = 0.0f;
    qint32 historyDays = 0;
    float deadband = 0.0f;
    QString expression;
    qint32 groupId = 0;
    QVector<QString> tags;
    qint32 deviceId = 0;
    qint32 itemType = 0;
    qint32 minimum = 0;
    qint32 maximum = 0;
    qint32 alarmLow = 0;
    qint32 alarmHigh = 0;
    QString errorText;              // item error message
    QMap<QString, QString> columns; // configuration values by column name
    QList<Mapping> mappings;
};

struct DeviceInstancePlugin
{
    qint32 id = 0; // device id
    QString uid;
    QString name; // display name
    QString description;
    qint32 pluginId = 0;
    bool enabled = true;
    qint32 pollInterval = 0;
    qint32 retryCount = 0;
    QString address; // PLC host name or dotted IPv4 address
    qint32 deviceType = 0;
    QString errorText; // device error message
    bool connected = false;
    bool logged = false;
    QMap<QString, QString> columns; // configuration values by column name
    QList<ItemInstancePlugin> configuredItems;
    QList<FileInstancePlugin> files;
};

struct DataItem
{
    DataItem() = default;
    explicit DataItem(const ItemInstancePlugin& fromItem) : item(fromItem) {}

    QMap<QString, QString> values; // the value travels under "value"
    QDateTime timestamp;
    ItemInstancePlugin item;
    PluginInstancePlugin plugin;
    ItemInstancePlugin previousItem;
    DeviceInstancePlugin device;
    qint32 quality = -1;
    char flags[2] = {0, 0};
    qint32 sequence = 0;
    char reserved[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};

// One poll or write request for one device. It starts with the device record, so a LogList* is
// usable wherever a device is expected.
struct LogList : DeviceInstancePlugin
{
    qint32 requestId = 0;
    QDateTime requestTime;
    QList<DataItem> items; // in the host's order
};

struct DatabaseColumnStructure
{
    struct SelectionValue
    {
        QString label;
        QString value;
        bool operator==(const SelectionValue& other) const
        {
            return label == other.label && value == other.value;
        }
    };

    // How the host shows and stores a column's value.
    enum DataType : qint32 { Text = 0, Number = 2, Choice = 8 };

    DatabaseColumnStructure() = default;
    DatabaseColumnStructure(QString name, DataType type, int size, QString defaultValue,
                            QString description);

    void insertSelectionValues(const QString& label, const QString& value);

    QList<SelectionValue> selectionValues;
    QString name;
    qint32 dataType = Text;
    QString defaultValue;
    QString description;
    qint32 size = 0;
    bool required = false;
    bool unique = false;
    qint32 displayOrder = 0;
};

struct PluginInitOptions
{
    qint32 maxConnections = 32;
    bool optionFlag1 = false;
    bool optionFlag2 = false;
    bool optionFlag3 = true;
    qint32 reconnectSeconds = 180;
    bool optionFlag4 = false;
    bool optionFlag5 = false;
    bool optionFlag6 = false;
    bool optionFlag7 = false;
    QString discoveryAction = QStringLiteral("discover");
    QMap<QString, QVariant> extra;
};

struct NetworkInterfaceInstance
{
    QString name; // interface name, for example "eth0"
    QString hardwareAddress;
    QString ipAddress;
    QString netmask;
    QString broadcast;
    bool up = false;
    bool running = false;
    QString humanReadableName;
    QString gateway;
    bool loopback = false;
};
