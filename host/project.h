#pragma once
// The project file of kib-host: the host settings and the devices with their items, as a user
// configures them. It is kept as JSON:
//
//   {"settings": {"plugin_refreshing": "0"},
//    "devices": [{"id": 7, "name": "press-1", "address": "10.0.0.5",
//                 "columns": {"port": "4450", "timeout": "2000"},
//                 "items": [{"uid": "v100", "name": "Counter",
//                            "columns": {"address_class": "1", "address_word": "100",
//                                        "data_type": "1"}}]}]}
//
// Column values may be written as texts or numbers. Keys the host does not know are kept as they
// are when the file is written back, and so is the rest of a file kept by hand: what kib-host
// adds is written into the text as it stands, every other line left as it was.

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

namespace kib_host {

using Columns = QMap<QString, QString>;

struct ProjectItem
{
    QString uid;
    QString name;
    QString description;
    Columns columns;
};

struct ProjectDevice
{
    int id = 0;
    QString uid; // set on devices imported by a discovery
    QString name;
    QString description;
    QString address;
    Columns columns;
    QList<ProjectItem> items;
};

class Project
{
public:
    // False with a one-line reason (naming the file) when the file cannot be read or is not a
    // valid project.
    static bool load(const QString& path, Project* project, QString* error);

    // Writes a temporary file beside the project and renames it over the project, so a run that
    // is interrupted never leaves a half-written file.
    bool save(QString* error) const;

    QString path() const { return filePath; }
    Columns settings() const { return hostSettings; }
    QList<ProjectDevice> devices() const { return deviceList; }
    const ProjectDevice* device(int id) const;

    // Appends items to a device (the device must exist) or a new device with the next free id,
    // in memory; save() writes them.
    void addItems(int deviceId, const QList<ProjectItem>& items);
    int addDevice(ProjectDevice device); // returns the id given to it

private:
    QString filePath;
    QJsonObject root; // the file as read, so that unknown keys survive a save ...
    QByteArray text;  // ... and its text with the additions, or empty: written from root
    Columns hostSettings;
    QList<ProjectDevice> deviceList;
};

} // namespace kib_host
