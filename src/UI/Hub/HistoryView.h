#pragma once

#include <QUuid>
#include <QWidget>

#include <functional>

class AbstractDictationHistory;
class DictationPipeline;
class QLabel;
class QListWidget;
class QPushButton;
class QStackedLayout;
class QTimer;

// The compact "Dictation History" window's content: the history store's recent records with a
// count and a "Clear" button that empties the stored history.
class HistoryView : public QWidget {
    Q_OBJECT
public:
    HistoryView(DictationPipeline& pipeline, AbstractDictationHistory& store, QWidget* parent = nullptr);

    QString countText() const;
    QPushButton* clearButton() const { return m_clear; }
    QListWidget* list() const { return m_list; }
    bool showsEmptyState() const;
    QString emptyHint() const;
    // The texts of one row: the pasted text, then its labels.
    QStringList rowTexts(int row) const;

    QSize sizeHint() const override { return {420, 520}; }

    // Re-reads the store's list and shows it.
    void refresh();
    // Whether the view is looking out for changes of the store (only while it is on screen).
    bool watchesStore() const;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void clear();
    void watchStore();

    DictationPipeline& m_pipeline;
    AbstractDictationHistory& m_store;
    QLabel* m_count = nullptr;
    QPushButton* m_clear = nullptr;
    QStackedLayout* m_content = nullptr;
    QWidget* m_empty = nullptr;
    QLabel* m_emptyHint = nullptr;
    QListWidget* m_list = nullptr;
    QTimer* m_watch = nullptr;
    // What the list shows: its length and its newest record.
    qsizetype m_shownCount = -1;
    QUuid m_shownFirst;
};
