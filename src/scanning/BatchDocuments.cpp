// SPDX-License-Identifier: GPL-3.0-or-later
#include "BatchDocuments.h"

#include "BatchNames.h"
#include "Failure.h"
#include "PrivateData.h"
#include "PrivateFile.h"
#include "ScanAdvice.h"
#include "ScanLogging.h"
#include "TiffJoin.h"
#include "TiffPageWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kRecord = QStringLiteral("batch");
// Written into a document's folder before its TIFF is begun in the read-from
// folder: a kill then leaves a hidden file that the next start knows is ours.
const QString kPartRecord = QStringLiteral("part");
const QString kPagePrefix = QStringLiteral("page-");
constexpr int kSetAsideDays = 30;

struct Record
{
    QString readFrom;
    QString prefix; ///< "img<stamp>-"
    int next = 1;   ///< where the search for the next document's number starts
};

std::optional<Record> readRecord(const QString& batchDir)
{
    const auto text = PrivateFile::read(QFile::encodeName(batchDir + u'/' + kRecord).constData(), 1 << 16);
    if (!text)
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(text->data(), qsizetype(text->size())).split(u'\n');
    if (lines.size() < 3 || lines[0].isEmpty() || lines[1].isEmpty())
        return std::nullopt;
    Record r{lines[0], lines[1], std::max(1, lines[2].toInt())};
    return r;
}

::Outcome writeRecord(const QString& batchDir, const Record& r)
{
    const QByteArray text =
        (r.readFrom + u'\n' + r.prefix + u'\n' + QString::number(r.next) + u'\n').toUtf8();
    const PrivateFile::Outcome o =
        PrivateFile::replace(QFile::encodeName(batchDir + u'/' + kRecord).constData(),
                             std::string_view(text.constData(), size_t(text.size())));
    if (o.ok())
        return {};
    return ::Outcome::failed(batchDir, QString::fromStdString(o.reason()), o.error);
}

/// The number a gathered page's name carries, -1 for any other name.
int pageNumberOf(const QString& fileName)
{
    static const QRegularExpression name(QStringLiteral("^page-(\\d+)\\.tif$"));
    const QRegularExpressionMatch m = name.match(fileName);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

/// The pages in dir in scan order (their numbers, not their names, sort them
/// past page 9999).
QList<std::pair<int, QString>> pagesIn(const QString& dir)
{
    QList<std::pair<int, QString>> pages;
    for (const QString& name : QDir(dir).entryList(QDir::Files)) {
        const int n = pageNumberOf(name);
        if (n > 0)
            pages.append({n, dir + u'/' + name});
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

/// The documents' folders of a batch ("doc-" or "done-"), by first page.
QStringList foldersIn(const QString& batchDir, const QString& kind)
{
    QList<std::pair<int, QString>> found;
    for (const QString& name : QDir(batchDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (name.startsWith(kind))
            found.append({name.mid(kind.size()).toInt(), name});
    }
    std::sort(found.begin(), found.end());
    QStringList names;
    for (const auto& f : found)
        names << f.second;
    return names;
}

/// A document's folder once its TIFF is in the read-from folder: renamed out of
/// the way first, so that a stop while its pages are deleted finds nothing of
/// it to make into a document again (the pages filed twice).
void discardDone(const QString& batchDir, const QString& doneDir)
{
    const QString gone = batchDir + QStringLiteral("/gone-") + QFileInfo(doneDir).fileName().section(u'-', 1);
    if (QDir().rename(doneDir, gone)) {
        TiffPageWriter::syncFolder(batchDir);
        QDir(gone).removeRecursively();
    } else {
        qCWarning(lcScan) << "a finished document's pages could not be put aside:" << doneDir;
    }
}

QString documentFolderName(int firstPage)
{
    return QStringLiteral("doc-%1").arg(firstPage, 4, 10, QLatin1Char('0'));
}

/// Moves the complete document part into the read-from folder under the first
/// free number from number on. Returns its path, or sets error.
QString moveIntoPlace(const QString& part, const Record& r, int number, QString* error)
{
    const QByteArray from = QFile::encodeName(part);
    for (;; ++number) {
        if (TiffPageWriter::numberTaken(r.readFrom, r.prefix, number))
            continue;
        const QString target = TiffPageWriter::pageName(r.readFrom, r.prefix, number, QStringLiteral(".tif"));
        const PrivateFile::Outcome moved =
            PrivateFile::publish(from.constData(), QFile::encodeName(target).constData());
        if (moved.ok()) {
            TiffPageWriter::syncFolder(r.readFrom);
            return target;
        }
        if (moved.error != EEXIST) {
            *error = QStringLiteral("%1 could not be renamed to %2: %3")
                         .arg(part, target, systemErrorText(moved.error));
            return {};
        }
    }
}

QList<int> numbers(const QList<std::pair<int, QString>>& pages)
{
    QList<int> n;
    for (const auto& p : pages)
        n << p.first;
    return n;
}

/// Makes one document of the pages in batchDir/docName and moves it into the
/// read-from folder. A failure leaves the pages where they are.
BatchDocuments::Outcome publish(const QString& batchDir, const QString& docName, Record& r)
{
    BatchDocuments::Outcome outcome;
    const QString docDir = batchDir + u'/' + docName;
    const QList<std::pair<int, QString>> pages = pagesIn(docDir);
    outcome.pages = numbers(pages);
    if (pages.isEmpty()) {
        // Two separators in a row, or a kill between making the folder and
        // moving the page into it: no empty document.
        QDir(docDir).removeRecursively();
        return outcome;
    }
    if (!QFileInfo(r.readFrom).isDir()) {
        outcome.error = QStringLiteral("the folder %1 does not exist").arg(r.readFrom);
        return outcome;
    }
    QStringList paths;
    for (const auto& p : pages)
        paths << p.second;

    int number = r.next;
    QString part;
    int fd = -1;
    for (;; ++number) {
        if (TiffPageWriter::numberTaken(r.readFrom, r.prefix, number))
            continue;
        part = TiffPageWriter::temporaryPageName(r.readFrom, r.prefix, number);
        const QByteArray record = (part + u'\n' + QString::number(number) + u'\n').toUtf8();
        const PrivateFile::Outcome noted =
            PrivateFile::replace(QFile::encodeName(docDir + u'/' + kPartRecord).constData(),
                                 std::string_view(record.constData(), size_t(record.size())));
        if (!noted.ok()) {
            outcome.error = QString::fromStdString(noted.reason());
            return outcome;
        }
        fd = ::open(QFile::encodeName(part).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            outcome.error = QStringLiteral("%1 could not be created: %2").arg(part, systemErrorText(errno));
            QFile::remove(docDir + u'/' + kPartRecord);
            return outcome;
        }
        if (fd >= 0)
            break;
    }
    QString error = TiffJoin::join(paths, fd, part);
    if (::close(fd) != 0 && error.isEmpty())
        error = QStringLiteral("%1 could not be saved: %2").arg(part, systemErrorText(errno));
    if (!error.isEmpty()) {
        ::unlink(QFile::encodeName(part).constData());
        QFile::remove(docDir + u'/' + kPartRecord);
        outcome.error = error;
        return outcome;
    }
    // From here on the document is complete: the folder's new name says so,
    // and a kill before the rename below is finished by the next start.
    r.next = number + 1;
    // Only logged: the record's next number is a hint, and a number taken meanwhile is passed over.
    if (const ::Outcome e = writeRecord(batchDir, r); !e.ok())
        qCWarning(lcScan) << "the batch record could not be updated:" << e.text;
    const QString doneDir = batchDir + QStringLiteral("/done-") + docName.mid(4);
    if (!QDir().rename(docDir, doneDir)) {
        ::unlink(QFile::encodeName(part).constData());
        QFile::remove(docDir + u'/' + kPartRecord);
        outcome.error = QStringLiteral("%1 could not be renamed").arg(docDir);
        return outcome;
    }
    TiffPageWriter::syncFolder(batchDir);
    outcome.path = moveIntoPlace(part, r, number, &outcome.error);
    if (!outcome.path.isEmpty())
        discardDone(batchDir, doneDir);
    return outcome;
}

/// A document that was complete when the station stopped: its TIFF enters the
/// folder if it has not yet.
BatchDocuments::Outcome completeDone(const QString& batchDir, const QString& doneName, const Record& r)
{
    BatchDocuments::Outcome outcome;
    const QString doneDir = batchDir + u'/' + doneName;
    outcome.pages = numbers(pagesIn(doneDir));
    const auto text = PrivateFile::read(QFile::encodeName(doneDir + u'/' + kPartRecord).constData(), 1 << 16);
    const QStringList lines =
        text ? QString::fromUtf8(text->data(), qsizetype(text->size())).split(u'\n') : QStringList();
    if (lines.size() >= 2 && QFileInfo::exists(lines[0])) {
        outcome.path = moveIntoPlace(lines[0], r, std::max(1, lines[1].toInt()), &outcome.error);
        if (outcome.path.isEmpty())
            return outcome;
    } else if (lines.size() < 2) {
        // No record of its TIFF: the pages are made a document again.
        QDir().rename(doneDir, batchDir + u'/' + documentFolderName(outcome.pages.value(0, 1)));
        outcome.pages.clear();
        return outcome;
    } else {
        outcome.pages.clear(); // it had entered the folder already
    }
    discardDone(batchDir, doneDir);
    return outcome;
}

} // namespace

BatchDocuments::BatchDocuments(const QString& readFrom, const QString& stamp, const ScanChoices& choices)
    : m_readFrom(readFrom), m_stamp(stamp), m_choices(choices), m_dir(gatheringRoot() + u'/' + stamp)
{
}

bool BatchDocuments::needed(const ScanChoices& choices)
{
    return choices.documents != ScanChoices::Documents::Page ||
           choices.blankPages != ScanChoices::BlankPages::Keep;
}

QString BatchDocuments::gatheringRoot()
{
    return PrivateData::path(QStringLiteral("gathering"));
}

QString BatchDocuments::setAsideFolder()
{
    return PrivateData::path(QStringLiteral("set-aside"));
}

QString BatchDocuments::setAsideShown()
{
    return BatchDocuments::shownPath(setAsideFolder()) + u'/';
}

QString BatchDocuments::shownPath(const QString& path)
{
    QString shown = path;
    if (shown.startsWith(QDir::homePath() + u'/'))
        shown.replace(0, QDir::homePath().size(), QStringLiteral("~"));
    return shown;
}

QString BatchDocuments::shownName(const QString& path)
{
    return QFileInfo(path).completeBaseName() + QStringLiteral(".pdf");
}

::Outcome BatchDocuments::begin()
{
    for (const QString& dir : {PrivateData::folder(), gatheringRoot(), m_dir}) {
        if (::Outcome made = PrivateData::ensureFolder(dir); !made.ok())
            return made;
    }
    // The record comes before any page, so that every page a kill leaves
    // behind knows where its document goes.
    const QString prefix = QFileInfo(BatchNames::batchTemplate(m_readFrom, m_stamp)).fileName();
    if (const ::Outcome e = writeRecord(m_dir, Record{m_readFrom, prefix, 1}); !e.ok())
        return ::Outcome::failed(
            m_dir, QStringLiteral("The batch could not be recorded in %1: %2").arg(m_dir, e.text), e.error);
    return {};
}

QString BatchDocuments::scanTemplate() const
{
    return m_dir + u'/' + kPagePrefix;
}

bool BatchDocuments::judgesPages() const
{
    return m_choices.documents == ScanChoices::Documents::Separator ||
           m_choices.blankPages == ScanChoices::BlankPages::SetAside;
}

bool BatchDocuments::readsCodes() const
{
    return m_choices.documents == ScanChoices::Documents::Separator && !m_choices.separatorCode.isEmpty();
}

bool BatchDocuments::moveToDocument(int pageNumber, const QString& path)
{
    if (m_current.isEmpty()) {
        const QString dir = m_dir + u'/' + documentFolderName(pageNumber);
        if (!QDir().mkpath(dir))
            return false;
        m_current = dir;
    }
    if (!QDir().rename(path, m_current + u'/' + QFileInfo(path).fileName()))
        return false;
    m_currentPages << pageNumber;
    return true;
}

void BatchDocuments::setAside(int pageNumber, const QString& path)
{
    const QString target =
        setAsideFolder() +
        QStringLiteral("/%1-page-%2.tif").arg(m_stamp).arg(pageNumber, 4, 10, QLatin1Char('0'));
    if (PrivateData::ensureFolder(setAsideFolder()).ok() &&
        PrivateFile::publish(QFile::encodeName(path).constData(), QFile::encodeName(target).constData()).ok())
        return;
    // Where it cannot be set aside, a page is kept in the document rather than lost.
    qCWarning(lcScan) << "page" << pageNumber << "could not be set aside in" << setAsideFolder();
    moveToDocument(pageNumber, path);
}

QList<BatchDocuments::Outcome> BatchDocuments::take(int pageNumber, const QString& path,
                                                    const std::optional<PageJudge::Verdict>& verdict)
{
    QList<Outcome> done;
    ++m_pages;
    // A page that could not be judged is an ordinary page of the document.
    const bool judged = verdict && verdict->error.isEmpty();
    const bool separator =
        judged && m_choices.documents == ScanChoices::Documents::Separator &&
        (m_choices.separatorCode.isEmpty() ? verdict->blank
                                           : verdict->codes.contains(m_choices.separatorCode));
    if (separator) {
        ++m_separators;
        if (!m_current.isEmpty())
            done << publishCurrent();
        setAside(pageNumber, path);
        return done;
    }
    if (judged && verdict->blank && m_choices.blankPages == ScanChoices::BlankPages::SetAside) {
        m_blank << pageNumber;
        setAside(pageNumber, path);
        return done;
    }
    if (!moveToDocument(pageNumber, path)) {
        // It stays among the batch's pages and joins a document at the next start.
        Outcome held;
        held.pages = {pageNumber};
        held.error = QStringLiteral("the page could not be moved into its document in %1").arg(m_dir);
        done << held;
        return done;
    }
    if (m_choices.documents == ScanChoices::Documents::Page)
        done << publishCurrent();
    return done;
}

BatchDocuments::Outcome BatchDocuments::publishCurrent()
{
    if (m_current.isEmpty())
        return {};
    std::optional<Record> record = readRecord(m_dir);
    Outcome outcome;
    if (!record) {
        outcome.pages = m_currentPages;
        outcome.error = QStringLiteral("the batch record in %1 cannot be read").arg(m_dir);
    } else {
        outcome = publish(m_dir, QFileInfo(m_current).fileName(), *record);
    }
    if (!outcome.path.isEmpty())
        m_documentSizes << int(outcome.pages.size());
    // A document that could not enter the folder stays gathered for the next
    // start; the pages after it make documents of their own.
    m_current.clear();
    m_currentPages.clear();
    return outcome;
}

BatchDocuments::Outcome BatchDocuments::finish()
{
    Outcome last = publishCurrent();
    const QStringList left = QDir(m_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (left == QStringList{kRecord})
        QDir(m_dir).removeRecursively();
    return last;
}

BatchDocuments::Recovery BatchDocuments::recover()
{
    Recovery recovery;
    const QDir root(gatheringRoot());
    for (const QString& stamp : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString batchDir = root.filePath(stamp);
        // What a stop left of documents already in the read-from folder.
        for (const QString& gone : foldersIn(batchDir, QStringLiteral("gone-")))
            QDir(batchDir + u'/' + gone).removeRecursively();
        std::optional<Record> record = readRecord(batchDir);
        if (!record) {
            // The record is written before the first page: without it there is no page.
            if (pagesIn(batchDir).isEmpty() && foldersIn(batchDir, QStringLiteral("doc-")).isEmpty() &&
                foldersIn(batchDir, QStringLiteral("done-")).isEmpty())
                QDir(batchDir).removeRecursively();
            else
                recovery.lines << QStringLiteral("The pages gathered in %1 have no record of their read-from "
                                                 "folder; they are left there")
                                      .arg(BatchDocuments::shownPath(batchDir));
            continue;
        }
        auto report = [&](const Outcome& o) {
            if (o.pages.isEmpty())
                return;
            if (!o.path.isEmpty()) {
                recovery.published << o.path;
                recovery.lines << ScanAdvice::documentRecoveredLine(o.pages, shownName(o.path));
            } else {
                recovery.lines << ScanAdvice::documentHeldLine(o.pages, o.error,
                                                               BatchDocuments::shownPath(batchDir));
            }
        };
        // A page the scanner had not finished is no page.
        for (const QString& name :
             QDir(batchDir).entryList({QStringLiteral(".page-*.part")}, QDir::Files | QDir::Hidden))
            QFile::remove(batchDir + u'/' + name);
        for (const QString& done : foldersIn(batchDir, QStringLiteral("done-")))
            report(completeDone(batchDir, done, *record));
        // Pages finished but not yet taken belong to the document in progress.
        const QList<std::pair<int, QString>> loose = pagesIn(batchDir);
        if (!loose.isEmpty()) {
            QStringList docs = foldersIn(batchDir, QStringLiteral("doc-"));
            const QString target =
                batchDir + u'/' + (docs.isEmpty() ? documentFolderName(loose.first().first) : docs.last());
            QDir().mkpath(target);
            for (const auto& page : loose)
                QDir().rename(page.second, target + u'/' + QFileInfo(page.second).fileName());
        }
        for (const QString& doc : foldersIn(batchDir, QStringLiteral("doc-"))) {
            // A TIFF begun for it but not finished is dropped and made again.
            const QString partRecord = batchDir + u'/' + doc + u'/' + kPartRecord;
            if (const auto text = PrivateFile::read(QFile::encodeName(partRecord).constData(), 1 << 16)) {
                const QString part =
                    QString::fromUtf8(text->data(), qsizetype(text->size())).section(u'\n', 0, 0);
                if (QFileInfo(part).fileName().startsWith(u'.') && part.endsWith(QLatin1String(".tif.part")))
                    QFile::remove(part);
                QFile::remove(partRecord);
            }
            report(publish(batchDir, doc, *record));
        }
        const QStringList left =
            QDir(batchDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        if (left == QStringList{kRecord})
            QDir(batchDir).removeRecursively();
    }
    return recovery;
}

int BatchDocuments::pruneSetAside(const QDateTime& now)
{
    int removed = 0;
    const QDateTime limit = now.addDays(-kSetAsideDays);
    const QDir dir(setAsideFolder());
    for (const QFileInfo& file : dir.entryInfoList(QDir::Files)) {
        if (file.lastModified() < limit && QFile::remove(file.filePath()))
            ++removed;
    }
    return removed;
}
