#pragma once

// The first-run assistant: a running service, the copiers' login, a signed-in sending account,
// then what to type into each copier. It reads the model and calls its actions; what it keeps of
// its own is the step shown and the fields being typed.

#include "AppState.h"
#include "OnboardingPresentation.h"
#include "Rebuild.h"

#include <QWidget>

#include <optional>

class FormSection;
class QPushButton;

class OnboardingView : public QWidget {
    Q_OBJECT

public:
    static constexpr QSize contentSize{500, 470};

    explicit OnboardingView(AppState& state, QWidget* parent = nullptr);

    Step step() const { return m_step; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // What a rebuild depends on; a poll that brings nothing new leaves the fields being typed
    // alone.
    struct Shown {
        Step step;
        ServiceStatus daemon;
        bool relayAnswering;
        bool authenticated;
        bool signingIn;
        std::optional<QString> infoMessage;
        std::optional<QString> lastError;
        QString provider;

        bool operator==(const Shown&) const = default;
    };

    OnboardingFacts facts() const;
    Shown shown() const;
    // Rebuilding waits for the event loop: a button may be what changed the model, and it must
    // not be deleted inside its own click.
    void rebuild();
    void buildStepSection(FormSection* section);
    void followRelay();
    void handle(OnboardingEvent event);
    void pressPrimary();
    void pressSignIn();
    void finish();
    // Typing changes only whether buttons are enabled, never what is shown.
    void updateButtons();

    AppState& m_state;
    Step m_step = Step::welcome;
    QString m_deviceUsername = QStringLiteral("scanner");
    QString m_devicePassword;
    QString m_provider = QStringLiteral("m365");
    QString m_fromAddress;

    // The derived truths the automatic advances watch, as last seen.
    bool m_relayAnswering = false;
    bool m_authenticated = false;

    QWidget* m_content = nullptr;
    QPushButton* m_primary = nullptr;
    QPushButton* m_signIn = nullptr;
    std::optional<Shown> m_shown;
    // Drawn in colours that are no longer the appearance's.
    bool m_stale = false;
    CoalescedCall m_rebuild{this, [this] { rebuild(); }};
};
