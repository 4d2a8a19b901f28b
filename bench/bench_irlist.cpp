// Cost of one infrared key report in the key list as the list grows, through the real
// controller and window on the offscreen platform, beside two stock views over the same model
// doing the same work (append a row, select it, scroll to it, let the window paint): a
// QTableView, and a QTreeView with uniform row heights fed once a frame as the key list is.
//
//   build/bench/bench_irlist [max-rows]
//
// Each variant runs in a process of its own, so that memory freed by one cannot hide the
// growth of another. "call" is the controller's work for one report (append, select,
// scroll); "call+paint" adds the event loop pass that repaints the window, which happens once
// per received batch, not per report. The key list shows new rows once a display frame; here
// every report gets a frame of its own (the worst case), so the figures compare like for like.
#include <QApplication>
#include <QHeaderView>
#include <QIcon>
#include <QProcess>
#include <QTableView>
#include <QTimer>
#include <QTreeView>

#include <cstring>

#include "appicons.h"
#include "benchutil.h"
#include "keyreportcontroller.h"
#include "keyreportmodel.h"
#include "keyreportview.h"
#include "keyreportwindow.h"

namespace {

constexpr int measured = 1000; // single reports timed at each size
constexpr int batch = 1000; // reports per step while growing to the next size

IrKeyMessage report(int i)
{
    return {i % 7 ? PressKind::Short : PressKind::Long, static_cast<std::uint8_t>(i),
            static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i >> 16),
            static_cast<std::uint8_t>(~i)};
}

// Resident growth at the previous size, for the growth per row between two sizes: the fixed
// cost of the window and its fonts drops out of that figure.
long long lastGrown = 0;
int lastRows = 0;

template<typename AddOne>
void timeSingles(const char *name, AddOne addOne, int &next, long long before)
{
    std::vector<double> call, withPaint;
    QElapsedTimer t;
    for (int i = 0; i < measured; ++i) {
        t.start();
        addOne(report(next++));
        call.push_back(t.nsecsElapsed() / 1000.0);
        QCoreApplication::processEvents();
        withPaint.push_back(t.nsecsElapsed() / 1000.0);
    }
    const long long grown = residentBytes() - before;
    const double marginal
        = lastRows ? double(grown - lastGrown) / (next - lastRows) : double(grown) / next;
    std::printf("%-12s rows %8d  call p50 %6.1f p99 %6.1f us  call+paint p50 %6.1f p99 %6.1f us"
                "  resident +%6.1f MB  %6.1f B/row since previous size\n",
                name, next, percentile(call, 50), percentile(call, 99), percentile(withPaint, 50),
                percentile(withPaint, 99), grown / 1e6, marginal);
    lastGrown = grown;
    lastRows = next;
    std::fflush(stdout);
}

void listView(const std::vector<int> &sizes)
{
    const long long before = residentBytes();
    KeyReportController controller;
    KeyReportWindow window(controller.model());
    window.show();
    int next = 0;
    controller.addReport(report(next++));
    QCoreApplication::processEvents();
    std::vector<IrKeyMessage> step(batch);
    for (const int size : sizes) {
        while (next < size - measured) {
            for (auto &m : step)
                m = report(next++);
            controller.addReports(step);
            QCoreApplication::processEvents();
        }
        KeyReportView *list = window.list();
        timeSingles(
            "key list",
            [&](const IrKeyMessage &m) {
                controller.addReport(m);
                list->flushFrame();
            },
            next, before);
    }
}

// For a stock view over `model`: grows the model to each size in batches, straight into the
// model, and times single reports there.
template<typename AddOne>
void growAndTime(const char *name, const std::vector<int> &sizes, KeyReportModel &model,
                 AddOne addOne, long long before)
{
    int next = 0;
    std::vector<IrKeyMessage> step(batch);
    for (const int size : sizes) {
        while (next < size - measured) {
            for (auto &m : step)
                m = report(next++);
            model.append(step);
            QCoreApplication::processEvents();
        }
        timeSingles(name, addOne, next, before);
    }
}

// The stock choice: a QTableView over the same model, set up to look like the key list.
void tableView(const std::vector<int> &sizes)
{
    const long long before = residentBytes();
    KeyReportModel model;
    model.setPressIcons(QIcon(AppIcons::shortPress()), QIcon(AppIcons::longPress()));
    QTableView table;
    table.setModel(&model);
    table.setShowGrid(false);
    table.setSelectionBehavior(QAbstractItemView::SelectRows);
    table.setSelectionMode(QAbstractItemView::SingleSelection);
    table.verticalHeader()->hide();
    table.horizontalHeader()->setDefaultSectionSize(53);
    table.resize(385, 153);
    table.show();
    auto addOne = [&](const IrKeyMessage &m) {
        model.append({&m, 1});
        const QModelIndex last = model.index(model.rowCount() - 1, 0);
        table.selectionModel()->setCurrentIndex(
            last, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        table.scrollTo(last);
    };
    growAndTime("QTableView", sizes, model, addOne, before);
}

// The usual choice for a long list of equal rows: a QTreeView with uniform row heights over the
// same model, fed as the key list is fed: each report goes into the model at once, and the
// newest row is selected and scrolled to once a display frame, from the same single-shot
// timer. Here, as for the key list, every report has a frame of its own.
void treeView(const std::vector<int> &sizes)
{
    const long long before = residentBytes();
    KeyReportModel model;
    model.setPressIcons(QIcon(AppIcons::shortPress()), QIcon(AppIcons::longPress()));
    QTreeView tree;
    tree.setModel(&model);
    tree.setUniformRowHeights(true);
    tree.setRootIsDecorated(false);
    tree.setItemsExpandable(false);
    tree.setSelectionBehavior(QAbstractItemView::SelectRows);
    tree.setSelectionMode(QAbstractItemView::SingleSelection);
    tree.header()->setStretchLastSection(false);
    tree.header()->setDefaultSectionSize(53);
    tree.resize(385, 153);
    tree.show();
    QTimer frame;
    frame.setSingleShot(true);
    frame.setInterval(KeyReportView::frameMs);
    frame.setTimerType(Qt::PreciseTimer);
    const auto showFrame = [&] {
        const QModelIndex last = model.index(model.rowCount() - 1, 0);
        tree.scrollTo(last);
        tree.selectionModel()->setCurrentIndex(
            last, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    };
    QObject::connect(&frame, &QTimer::timeout, showFrame);
    auto addOne = [&](const IrKeyMessage &m) {
        model.append({&m, 1});
        if (!frame.isActive())
            frame.start();
        // The frame, now (as the key list's flushFrame()).
        frame.stop();
        showFrame();
    };
    growAndTime("QTreeView", sizes, model, addOne, before);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int maxRows = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
    std::vector<int> sizes;
    for (int n = 1000; n <= maxRows; n *= 10)
        sizes.push_back(n);
    if (argc > 2) {
        if (std::strcmp(argv[2], "table") == 0)
            tableView(sizes);
        else if (std::strcmp(argv[2], "tree") == 0)
            treeView(sizes);
        else
            listView(sizes);
        return 0;
    }
    std::printf("per report: append + select + scroll (+ paint); memory: resident growth\n");
    std::fflush(stdout);
    for (const char *variant : {"table", "tree", "list"}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::number(maxRows), QString::fromLatin1(variant)});
        child.waitForFinished(-1);
    }
    return 0;
}
