#pragma once

#include <QWidget>

class DictationPipeline;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

// The hub's Replacements tab: the user's replacement rules in the order they were added, a row
// to add one and a button to delete each. The rules live in the pipeline's settings.
class ReplacementsTabView : public QWidget {
    Q_OBJECT
public:
    explicit ReplacementsTabView(DictationPipeline& pipeline, QWidget* parent = nullptr);

    QLineEdit* triggerField() const { return m_newTrigger; }
    QLineEdit* replacementField() const { return m_newReplacement; }
    QPushButton* addButton() const { return m_add; }
    QLabel* messageLabel() const { return m_message; }

private:
    void add();
    void remove(const QString& trigger);
    void refresh();
    void updateAddButton();

    DictationPipeline& m_pipeline;
    QLineEdit* m_newTrigger = nullptr;
    QLineEdit* m_newReplacement = nullptr;
    QPushButton* m_add = nullptr;
    QLabel* m_message = nullptr;
    QStackedWidget* m_content = nullptr;
    QVBoxLayout* m_rows = nullptr;
};
