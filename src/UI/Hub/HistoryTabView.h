#pragma once

#include "Models/TranscriptionResult.h"

#include <QWidget>

#include <functional>

class DictationPipeline;
class QLabel;
class QLineEdit;
class QScrollArea;
class QStackedLayout;
class QToolButton;
class QVBoxLayout;
class TranscriptRow;

// A text owned elsewhere, read and written through two functions.
struct TextBinding {
    std::function<QString()> get;
    std::function<void(const QString&)> set;
};

// The hub's "History" tab: a search field over the recent dictations and their rows.
class HistoryTabView : public QWidget {
    Q_OBJECT
public:
    HistoryTabView(DictationPipeline& pipeline, TextBinding searchText, QWidget* parent = nullptr);

    // The results listed for the current search.
    QList<TranscriptionResult> filtered() const;

    QLineEdit* searchField() const { return m_search; }
    QToolButton* clearButton() const { return m_clear; }
    QList<TranscriptRow*> visibleRows() const;
    // The empty state's text, or empty while rows are listed.
    QString emptyText() const;

private:
    void rebuildRows();
    void applyFilter();

    DictationPipeline& m_pipeline;
    TextBinding m_searchText;
    QLineEdit* m_search = nullptr;
    QToolButton* m_clear = nullptr;
    QStackedLayout* m_content = nullptr;
    QScrollArea* m_list = nullptr;
    QVBoxLayout* m_rows = nullptr;
    QWidget* m_empty = nullptr;
    QLabel* m_emptyLabel = nullptr;
};
