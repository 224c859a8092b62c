#pragma once

// What the settings window's two tabs share: a form of their own sections, then the model's
// connectivity error and the failed action's error, and the filling from the model each time the
// tab is shown.

#include "AppState.h"

#include <QWidget>

#include <optional>
#include <utility>

class GroupedForm;

class SettingsTabView : public QWidget {
    Q_OBJECT

public:
    // Wide enough for an e-mail address.
    static constexpr int fieldWidth = 240;

protected:
    explicit SettingsTabView(AppState& state, QWidget* parent = nullptr);

    // Takes the relay's values into the fields, replacing what was not saved.
    virtual void fill() = 0;
    // Follows the model and the fields without touching what the person typed.
    virtual void follow() = 0;
    // Rebuilt only when their texts change: every poll comes through here.
    void showErrors();

    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

    AppState& m_state;
    GroupedForm* m_form;

private:
    GroupedForm* m_messages;
    std::optional<std::pair<std::optional<QString>, std::optional<QString>>> m_shownErrors;
};
