#pragma once

// Pieces the windows share: the message sections that end their forms, the test-send prompt, and
// the provider choice.

#include "AppState.h"
#include "Appearance.h"

class GroupedForm;
class QComboBox;
class QDialog;
class QWidget;

// A section with `text` in `tint`, wrapped within the form's width however long its words.
void addMessageSection(GroupedForm& form, const QString& text, Tint tint);
// The model's connectivity error in red, then its `lastError` in red with a button that
// dismisses it; each only while present.
void addErrorSections(GroupedForm& form, AppState& state);

// "Send test email": asks for the recipient, starting from `recipient`, and sends the test to
// what was typed. Window-modal over `parent`; returns the open dialog.
QDialog* openTestEmailPrompt(QWidget* parent, AppState& state, const QString& recipient);

// The providers by name, each with its key as the item's data.
QComboBox* makeProviderPicker();
