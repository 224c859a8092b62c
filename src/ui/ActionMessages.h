#pragma once

// The message sections that end the windows' forms, and the test-send prompt that the status and
// settings windows share.

#include "AppState.h"
#include "Appearance.h"

class GroupedForm;
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
