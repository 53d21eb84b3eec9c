#include "ScanChoices.h"

namespace {
const QString kSource = QStringLiteral("Scanner/source");
const QString kMode = QStringLiteral("Scanner/mode");
const QString kResolution = QStringLiteral("Scanner/resolution");
const QString kDocuments = QStringLiteral("Scanner/documents");
const QString kSeparatorCode = QStringLiteral("Scanner/separatorCode");
const QString kBlankPages = QStringLiteral("Scanner/blankPages");

QString documentsWord(ScanChoices::Documents documents)
{
    switch (documents) {
    case ScanChoices::Documents::Batch:
        return QStringLiteral("batch");
    case ScanChoices::Documents::Separator:
        return QStringLiteral("separator");
    case ScanChoices::Documents::Page:
        break;
    }
    return QStringLiteral("page");
}
} // namespace

ScanChoices ScanChoices::load(QSettings& store)
{
    ScanChoices choices;
    choices.source = store.value(kSource).toString();
    choices.mode = store.value(kMode).toString();
    bool ok = false;
    const int dpi = store.value(kResolution).toInt(&ok);
    choices.resolution = ok && dpi > 0 ? dpi : 0;
    const QString documents = store.value(kDocuments).toString();
    if (documents == QLatin1String("batch"))
        choices.documents = Documents::Batch;
    else if (documents == QLatin1String("separator"))
        choices.documents = Documents::Separator;
    // An empty stored code is a choice of its own (blank sheets separate), so
    // only an absent key takes the default.
    if (store.contains(kSeparatorCode))
        choices.separatorCode = store.value(kSeparatorCode).toString();
    if (store.value(kBlankPages).toString() == QLatin1String("setAside"))
        choices.blankPages = BlankPages::SetAside;
    return choices;
}

void ScanChoices::store(QSettings& store) const
{
    store.setValue(kSource, source);
    store.setValue(kMode, mode);
    store.setValue(kResolution, resolution);
    store.setValue(kDocuments, documentsWord(documents));
    store.setValue(kSeparatorCode, separatorCode);
    store.setValue(kBlankPages,
                   blankPages == BlankPages::SetAside ? QStringLiteral("setAside") : QStringLiteral("keep"));
    store.sync();
}
