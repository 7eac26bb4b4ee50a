#pragma once

#include "UI/Settings/VoiceStyle.h"

#include <QHash>
#include <QWidget>

#include <functional>

class DictationPipeline;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QStackedWidget;
class QToolButton;
class QVariantAnimation;
class QVBoxLayout;

// One application of the voice styles tab: its icon and name, a style menu and an editor for a
// free-text instruction that is committed only by the checkmark.
class AppStyleRow : public QWidget {
    Q_OBJECT
public:
    AppStyleRow(const QString& appName, const QString& bundleId, VoiceStyle style, const QString& customInstruction,
                std::function<void(VoiceStyle)> onStyleChanged,
                std::function<void(const QString&)> onInstructionChanged, QWidget* parent = nullptr);

    // New values after a settings change; the editor keeps its state and text.
    void setValues(const QString& appName, VoiceStyle style, const QString& customInstruction);

    const QString& appName() const { return m_appName; }
    const QString& bundleId() const { return m_bundleId; }
    VoiceStyle style() const { return m_style; }
    bool isEditing() const { return m_isEditing; }
    QString editText() const;
    void setEditText(const QString& text);
    QString subtitle() const;

    // What the menu and the edit button do when used.
    void chooseStyle(VoiceStyle style);
    void pressEditButton();

    QComboBox* styleMenu() const { return m_menu; }
    QToolButton* editButton() const { return m_edit; }
    QPlainTextEdit* editor() const { return m_editor; }

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refreshLook();
    void fadeHover(bool hovered);

    QString m_appName;
    QString m_bundleId;
    VoiceStyle m_style;
    QString m_customInstruction;
    std::function<void(VoiceStyle)> m_onStyleChanged;
    std::function<void(const QString&)> m_onInstructionChanged;
    bool m_isEditing = false;
    QVariantAnimation* m_hoverFade = nullptr;  // 0 resting, 1 under the pointer
    QLabel* m_name = nullptr;
    QLabel* m_subtitle = nullptr;
    QComboBox* m_menu = nullptr;
    QToolButton* m_edit = nullptr;
    QPlainTextEdit* m_editor = nullptr;
};

// The hub's voice styles tab: the six styles, and for every application of the recent
// dictations a row to give it a style or an instruction of its own, stored in the settings.
class InstructionsTabView : public QWidget {
    Q_OBJECT
public:
    explicit InstructionsTabView(DictationPipeline& pipeline, QWidget* parent = nullptr);

    QList<AppInstructions::DetectedApp> detectedApps() const;
    void setStyle(VoiceStyle style, const QString& bundleId, const QString& appName);
    void setCustomInstruction(const QString& text, const QString& bundleId, const QString& appName);

    // The rows shown, in order.
    QList<AppStyleRow*> rows() const;
    bool showsEmptyState() const;

private:
    void refresh();

    DictationPipeline& m_pipeline;
    QStackedWidget* m_apps = nullptr;
    QVBoxLayout* m_rowsLayout = nullptr;
    QHash<QString, AppStyleRow*> m_rows;  // by application identifier
    QList<QWidget*> m_dividers;
};
