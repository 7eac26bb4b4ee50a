#pragma once

#include "UI/Hub/HubRules.h"
#include "UI/Hub/PermissionsBanner.h"

#include <QImage>
#include <QWidget>

#include <functional>

class DictationPipeline;
class QListWidget;

// The fixed grain laid over the whole hub: white 3 × 3 squares of low opacity, blended with
// the overlay mode. It takes no mouse events.
class FilmGrainView : public QWidget {
    Q_OBJECT
public:
    explicit FilmGrainView(QWidget* parent = nullptr);

    // The grain for a canvas of this size, on transparent (the same pixels for the same size).
    static QImage render(const QSize& size);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_cache;  // the last size's grain; the pattern depends on the size alone
};

// The hub window's content: a sidebar of the five sections and the selected section's view,
// under the film grain.
class HubView : public QWidget {
    Q_OBJECT
public:
    // Builds one section's view. The instructions, replacements and settings sections come from
    // whoever hosts the hub; without a builder the section shows a plain note.
    using SectionFactory = std::function<QWidget*(QWidget* parent)>;
    struct Actions {
        ViewPermissions permissions;
        SectionFactory makeInstructions;
        SectionFactory makeReplacements;
        SectionFactory makeSettings;
    };

    HubView(DictationPipeline& pipeline, Actions actions, QWidget* parent = nullptr);

    HubTab selectedTab() const { return m_selectedTab; }
    void setSelectedTab(HubTab tab);
    const QString& searchText() const { return m_searchText; }
    QWidget* detailView() const { return m_detail; }
    QListWidget* sidebar() const { return m_sidebar; }
    FilmGrainView* grain() const { return m_grain; }

    // At least 700 x 480, and wide enough for the open section's content beside the sidebar.
    QSize minimumSizeHint() const override;
    // What the open section asks for beside the sidebar (the dashboard at first).
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildSection(HubTab tab);

    DictationPipeline& m_pipeline;
    Actions m_actions;
    HubTab m_selectedTab = HubTab::home;
    QString m_searchText;
    QListWidget* m_sidebar = nullptr;
    QWidget* m_detailHolder = nullptr;
    QWidget* m_detail = nullptr;
    FilmGrainView* m_grain = nullptr;
};
