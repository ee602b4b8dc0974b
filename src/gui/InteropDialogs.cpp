#include "gui/InteropDialogs.h"

#include "util/Localized.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>

namespace tarni {

namespace {

struct FormatLabel {
    InteropFormat format;
    const char *key;
    const char *patterns;
};

// In the order the choosers list them.
const FormatLabel kFormatLabels[] = {
    {InteropFormat::bookmarks, textKey("Browser bookmarks"), "*.html *.htm"},
    {InteropFormat::onetab, textKey("OneTab text"), "*.txt"},
    {InteropFormat::sessions, textKey("Tab sessions"), "*.json"},
    {InteropFormat::markdown, textKey("Markdown"), "*.md *.markdown *.txt"},
    {InteropFormat::text, textKey("Text, one address per line"), "*.txt"},
    {InteropFormat::html, textKey("Web page"), "*.html"},
    {InteropFormat::tarnibar, textKey("TarniBar export"), "*.json"},
};

QString labelOf(const FormatLabel &entry)
{
    return localized(QString::fromUtf8(entry.key));
}

QString filterOf(const FormatLabel &entry)
{
    return labelOf(entry) + QStringLiteral(" (") + QString::fromLatin1(entry.patterns) + QLatin1Char(')');
}

} // namespace

QStringList exportFileFilters()
{
    QStringList filters;
    for (const FormatLabel &entry : kFormatLabels)
        if (canExport(entry.format))
            filters << filterOf(entry);
    return filters;
}

std::optional<InteropFormat> exportFormatOfFilter(const QString &filter)
{
    for (const FormatLabel &entry : kFormatLabels)
        if (canExport(entry.format) && filterOf(entry) == filter)
            return entry.format;
    return std::nullopt;
}

QStringList importFileFilters()
{
    QStringList filters{localized("Files to import (*.html *.htm *.txt *.md *.markdown *.json)")};
    for (const FormatLabel &entry : kFormatLabels)
        if (canImport(entry.format))
            filters << filterOf(entry);
    filters << localized("All files (*)");
    return filters;
}

// One background read. The thread only touches this; the dialog polls it.
struct ImportPreviewDialog::Reading {
    std::atomic<bool> cancelled{false};
    std::atomic<std::int64_t> done{0};
    std::atomic<std::int64_t> total{0};
    std::optional<Result<InteropImport, InteropError>> result;
};

ImportPreviewDialog::ImportPreviewDialog(const QString &path, QWidget *parent)
    : QDialog(parent)
    , m_path(path)
{
    setObjectName(QStringLiteral("importPreview"));
    setWindowTitle(localized("Import"));
    setMinimumWidth(420);

    auto *form = new QFormLayout;
    auto *file = new QLabel(QFileInfo(path).fileName(), this);
    file->setTextInteractionFlags(Qt::TextSelectableByMouse);
    file->setToolTip(path);
    form->addRow(localized("File:"), file);
    m_format = new QComboBox(this);
    m_format->setObjectName(QStringLiteral("importFormat"));
    m_format->addItem(localized("Detect from content"));
    for (const FormatLabel &entry : kFormatLabels)
        if (canImport(entry.format))
            m_format->addItem(labelOf(entry), int(entry.format));
    auto *formatLabel = new QLabel(localized("&Format:"), this);
    formatLabel->setBuddy(m_format);
    form->addRow(formatLabel, m_format);

    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 1000);
    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("importSummary"));
    m_summary->setWordWrap(true);
    m_summary->setTextFormat(Qt::PlainText);
    m_summary->setMinimumHeight(m_summary->fontMetrics().height() * 3);

    m_buttons = new QDialogButtonBox(this);
    m_import = m_buttons->addButton(localized("Import"), QDialogButtonBox::AcceptRole);
    m_import->setObjectName(QStringLiteral("importButton"));
    m_buttons->addButton(localized("Cancel"), QDialogButtonBox::RejectRole);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *column = new QVBoxLayout(this);
    column->addLayout(form);
    column->addWidget(m_progress);
    column->addWidget(m_summary);
    column->addStretch(1);
    column->addWidget(m_buttons);

    m_poll = new QTimer(this);
    m_poll->setInterval(50);
    connect(m_poll, &QTimer::timeout, this, &ImportPreviewDialog::showProgress);
    connect(m_format, &QComboBox::currentIndexChanged, this, &ImportPreviewDialog::startReading);
    m_format->setFocus();
    startReading();
}

ImportPreviewDialog::~ImportPreviewDialog()
{
    if (m_reading)
        m_reading->cancelled = true;
    for (const QPointer<QThread> &thread : m_threads)
        if (thread)
            thread->wait();
}

void ImportPreviewDialog::startReading()
{
    if (m_reading)
        m_reading->cancelled = true;
    m_result.reset();
    m_import->setEnabled(false);
    m_progress->setValue(0);
    m_progress->show();
    m_summary->setText(localized("Reading…"));

    auto reading = std::make_shared<Reading>();
    m_reading = reading;
    std::optional<InteropFormat> format;
    if (const QVariant data = m_format->currentData(); data.isValid())
        format = InteropFormat(data.toInt());
    const std::filesystem::path file(m_path.toStdString());
    const QString title = QFileInfo(m_path).fileName();
    QThread *thread = QThread::create([reading, format, file, title] {
        ImportOptions options;
        options.groupTitle = title;
        options.now = currentTimestamp();
        options.cancelled = &reading->cancelled;
        options.progress = [reading](std::int64_t done, std::int64_t total) {
            reading->done = done;
            reading->total = total;
        };
        reading->result = importInteropFile(file, format, options);
    });
    m_threads.erase(std::remove_if(m_threads.begin(), m_threads.end(), [](const auto &t) { return t.isNull(); }),
                    m_threads.end());
    m_threads.emplace_back(thread);
    connect(thread, &QThread::finished, this, [this, reading] { finishReading(reading); });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    m_poll->start();
}

void ImportPreviewDialog::showProgress()
{
    if (!m_reading)
        return;
    const std::int64_t total = m_reading->total;
    if (total > 0)
        m_progress->setValue(int(1000 * m_reading->done / total));
}

void ImportPreviewDialog::finishReading(const std::shared_ptr<Reading> &reading)
{
    if (reading != m_reading)
        return; // replaced by a read in another format
    m_reading.reset();
    m_poll->stop();
    m_progress->hide();
    if (!reading->result || !reading->result->ok()) {
        QString why;
        if (reading->result) {
            // The dialog names the file already.
            InteropError error = reading->result->error();
            error.file.clear();
            why = error.description();
        }
        m_summary->setText(formatted(localized("This file cannot be imported: %@"), {why}));
        Q_EMIT readingFinished();
        return;
    }
    m_result = std::make_unique<InteropImport>(std::move(*reading->result).value());
    const ImportSummary &summary = m_result->summary;
    QString text = m_result->format == InteropFormat::tarnibar
        ? formatted(localized("%d group(s) and %d link(s) will be added."),
                    {QString::number(summary.groups), QString::number(summary.links)})
        : formatted(localized("%d group(s) and %d link(s) will be added in a new group “%@”."),
                    {QString::number(summary.groups), QString::number(summary.links), QFileInfo(m_path).fileName()});
    if (summary.skipped > 0)
        text += QLatin1Char('\n') +
            formatted(localized("%d entries will be skipped: their addresses are not web, Slack or file addresses."),
                      {QString::number(summary.skipped)});
    m_summary->setText(text);
    m_import->setEnabled(true);
    m_import->setDefault(true);
    Q_EMIT readingFinished();
}

QString ImportPreviewDialog::summaryText() const
{
    return m_summary->text();
}

} // namespace tarni
