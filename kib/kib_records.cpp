#include "kib_records.h"

#include <utility>

DatabaseColumnStructure::DatabaseColumnStructure(QString name, DataType type, int size,
                                                 QString defaultValue, QString description)
    : name(std::move(name)), dataType(type), defaultValue(std::move(defaultValue)),
      description(std::move(description)), size(size)
{
}

void DatabaseColumnStructure::insertSelectionValues(const QString& label, const QString& value)
{
    selectionValues.append({label, value});
}
