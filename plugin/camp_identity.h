#pragma once
// The two identity fields of every CTI 2500 PLC: its product serial number (STW259) and its
// firmware version (STW260.STW261).

#include <QList>

#include "kib_identity.h"

QList<kib_identity::Spec> campIdentitySpecs();

// kib_identity::isIdentityItem for this plugin's address column "address_word", with the column
// name built once rather than for every item of every poll.
bool isCampIdentityItem(const ItemInstancePlugin& item);
// The same for an item whose "address_word" the caller has already found.
bool isCampIdentityItem(const ItemInstancePlugin& item, const QString& addressWord);
