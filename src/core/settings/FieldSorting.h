#pragma once

#include "kintone/Kintone.h"

#include <optional>
#include <string>

namespace stampo {

// The field choices of the settings form, made from a form's "properties" object (field code -> field property
// object). Only objects with a text "type", "code" and "label" are offered; every list keeps the order of the
// properties object and holds the objects unchanged. Types are compared exactly.

// {"fieldIn": ..., "fieldOut": ..., "fieldUser": ...}: every DATETIME field as start and as end; every
// USER_SELECT field, and every NUMBER or SINGLE_LINE_TEXT field with a "lookup" member, as employee field.
Kintone::Json splitFieldLists(const Kintone::Json& properties);

// {"fieldUserDisplay": ...}: the SINGLE_LINE_TEXT fields without a "lookup" member of a lookup's source app.
Kintone::Json nameFieldLists(const Kintone::Json& relatedProperties);

// The app that names the employees of employee field `fieldCode`: its "lookup" -> "relatedApp" -> "app". None when
// no names are needed or none can be found: an empty or unknown code, a USER_SELECT field, or no text app.
std::optional<std::string> nameSourceApp(const Kintone::Json& properties, const std::string& fieldCode);

// The "type" of field `fieldCode`; the empty text when the field is unknown.
std::string fieldType(const Kintone::Json& properties, const std::string& fieldCode);

} // namespace stampo
