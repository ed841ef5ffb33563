#pragma once
// The two identity fields of every CTI 2500 PLC: its product serial number (STW259) and its
// firmware version (STW260.STW261).

#include <QList>

#include "kib_identity.h"

QList<kib_identity::Spec> campIdentitySpecs();

// What an item is to a device's identity. Own: one of the device's identity items, by its uid
// (identity_<device id>_<field>) or its address (__identity.<field>). Foreign: its uid or address
// has the identity form but names no identity field of this device (another device's, or a field
// that does not exist); such an item is neither read nor written. None: an ordinary item.
enum class IdentityRole { None, Own, Foreign };
IdentityRole campIdentityRole(const ItemInstancePlugin& item, int deviceId);
// The same for an item whose "address_word" the caller has already found.
IdentityRole campIdentityRole(const ItemInstancePlugin& item, const QString& addressWord,
                              int deviceId);

// The error texts of identity items.
extern const char kNotOwnIdentity[];
extern const char kIdentityReadOnly[];
extern const char kIdentityNotReported[];
