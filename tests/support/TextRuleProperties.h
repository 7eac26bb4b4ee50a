#pragma once

#include "Models/VantroseSettings.h"

#include <QString>

#include <optional>
#include <string>

// Properties of the text rules that must hold for any input, as plain functions so unit tables
// and fuzz targets can share them. Each returns a description of the first violation, or nothing.
namespace TextRuleProperties {

// A rule replaces its own trigger: UserTextReplacements::apply(trigger, {{trigger, value}}) and
// RuleBasedFormatter::applyReplacements(trigger, {{trigger, value}}) both give `value`. Holds for
// every trigger with something besides spaces and no space at either end (the user's triggers
// are words separated by spaces), and every value within the growth limit of the trigger.
std::optional<std::string> triggerReplacesItself(const QString& trigger, const QString& value);

// Chained rules stay bounded: the replacements, the snippets and the user's replacements each
// give at most TextRules::growthLimit of the text they were given, whatever the rules.
std::optional<std::string> chainsStayBounded(const QString& text, const VantroseSettings& settings);

// A stray surrogate does not switch the rules off: formatting, and the user's replacements, give
// the same result for `text` as for the text with U+FFFD in place of each unpaired surrogate.
std::optional<std::string> strayHalvesChangeNothingElse(const QString& text, const VantroseSettings& settings);

}  // namespace TextRuleProperties
