#pragma once

#include "UI/Hub/HubRules.h"
#include "UI/Hub/PermissionsBanner.h"

#include <QWidget>

class DictationPipeline;
class QButtonGroup;
class QLabel;
class QTimer;
class QVBoxLayout;

// A rounded card: the quaternary fill and a thin outline, behind whatever it holds.
class HubCard : public QWidget {
    Q_OBJECT
public:
    explicit HubCard(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// One statistic: glyph, value in the serif face, title; lifts under the pointer.
class StatCard : public QWidget {
    Q_OBJECT
public:
    StatCard(const QString& title, const QString& value, const QString& icon, QWidget* parent = nullptr);

    const QString& title() const { return m_title; }
    const QString& value() const { return m_value; }
    QSize sizeHint() const override;
    // Wide enough for the whole title and value.
    QSize minimumSizeHint() const override;
    // Where the value and the title are written, and in what.
    QRectF contentRect() const;
    QFont valueFont() const;
    QFont titleFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_title;
    QString m_value;
    QString m_icon;
};

// One line of the top-sources ranking.
class AppSourceRow : public QWidget {
    Q_OBJECT
public:
    AppSourceRow(const QString& appName, const QString& bundleId, std::int64_t words, QWidget* parent = nullptr);
    const QString& appName() const { return m_appName; }

private:
    QString m_appName;
};

// Seven weeks of daily dictation counts as shaded cells, Sunday at the top.
class ActivityHeatmap : public QWidget {
    Q_OBJECT
public:
    ActivityHeatmap(QList<TranscriptionResult> results, int numWeeks, int numDays, QStringList dayLabels,
                    QWidget* parent = nullptr);

    // The grid for the current local day.
    std::vector<std::vector<int>> buildGrid() const;
    QColor cellColor(int count) const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<TranscriptionResult> m_results;
    int m_numWeeks;
    int m_numDays;
    QStringList m_dayLabels;
};

// The hub's "Home" tab: greeting, statistics, top sources, activity and recent transcripts,
// with the permissions banner on top while a permission is missing.
class HomeTabView : public QWidget {
    Q_OBJECT
public:
    HomeTabView(DictationPipeline& pipeline, ViewPermissions permissions, QWidget* parent = nullptr);

    bool axGranted() const { return m_axGranted; }
    bool micGranted() const { return m_micGranted; }
    // One tick of the permission poll (the timer runs it every second while shown).
    void pollPermissions();

    // What is on screen, for tests.
    QString titleText() const;
    QString encouragement() const;
    PermissionsBanner* banner() const { return m_banner; }
    QList<StatCard*> statCards() const;
    QList<AppSourceRow*> sourceRows() const;
    QList<class TranscriptRow*> transcriptRows() const;
    ActivityHeatmap* heatmap() const { return m_heatmap; }
    QString emptyTranscriptsHint() const;
    QString emptySourcesText() const;
    // The groups that fade and rise in on the first appearance, top to bottom: banner, header,
    // statistic cards, middle row, recent transcripts.
    const QList<QWidget*>& entranceSections() const { return m_sections; }
    // The size at which the whole page shows without scrolling.
    QSize sizeHint() const override;
    // The narrowest the page can be with every card, label and row whole.
    QSize minimumSizeHint() const override;
    class QScrollArea* scrollArea() const {
        return m_scroll;
    }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void rebuild();
    void rebuildBanner();
    void startEntrance();

    DictationPipeline& m_pipeline;
    ViewPermissions m_permissions;
    bool m_axGranted;
    bool m_micGranted;
    QString m_axNotice;
    QString m_inputNotice;  // what the session lacks for the hotkey in every window
    StatsPeriod m_statsPeriod = StatsPeriod::thirtyDays;
    bool m_appeared = false;
    QTimer* m_permissionTimer = nullptr;
    QTimer* m_rebuildTimer = nullptr;

    QVBoxLayout* m_column = nullptr;
    class QScrollArea* m_scroll = nullptr;
    QWidget* m_bannerSlot = nullptr;
    PermissionsBanner* m_banner = nullptr;
    QLabel* m_title = nullptr;
    QLabel* m_encouragement = nullptr;
    QWidget* m_body = nullptr;  // cards, middle row and recent transcripts, rebuilt on change
    ActivityHeatmap* m_heatmap = nullptr;
    QLabel* m_emptyTranscripts = nullptr;
    QLabel* m_emptySources = nullptr;
    QList<QWidget*> m_sections;
};
