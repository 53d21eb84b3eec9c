// SPDX-License-Identifier: GPL-3.0-or-later
// Writes one scanned page as a TIFF file. The page goes to a hidden temporary
// file beside its final place (".img0001.tif.part") and only a complete,
// flushed page is moved to its final name, which is never an existing file.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

typedef struct tiff TIFF;

class TiffPageWriter
{
public:
    enum class Kind {
        Bilevel, ///< 1 bit a pixel, 1 = black (SANE's and MinIsWhite's meaning); CCITT G4
        Gray,    ///< 8 bits a pixel, 0 = black; Deflate
        Rgb      ///< 3 x 8 bits a pixel; Deflate
    };

    /// folder and prefix come from the file-name template: folder + "/" + prefix
    /// + four-digit number + ".tif".
    TiffPageWriter(const QString& folder, const QString& prefix);
    ~TiffPageWriter();
    TiffPageWriter(const TiffPageWriter&) = delete;
    TiffPageWriter& operator=(const TiffPageWriter&) = delete;

    /// Creates the temporary file for a page of the given width (rows are
    /// counted as they come). firstNumber is where the search for a free
    /// number starts. Returns false with error() set.
    bool begin(Kind kind, int width, int rowsHint, double xDpi, double yDpi, int firstNumber);
    /// One row in the page's own layout (Bilevel: (width + 7) / 8 bytes, Gray:
    /// width bytes, Rgb: 3 * width bytes).
    bool writeRow(const uint8_t* row);
    /// Flushes the page to disk and moves it to the first free name from
    /// firstNumber on. Returns false with error() set (the temporary file is
    /// then removed).
    bool commit();
    /// Drops the page being written and its temporary file.
    void discard();

    int rows() const { return m_rows; }
    /// The number and path the last committed page received.
    int committedNumber() const { return m_number; }
    QString committedPath() const { return m_finalPath; }
    QString temporaryPath() const { return m_tempPath; }
    QString error() const { return m_error; }

    /// folder + "/" + prefix + number (at least four digits) + extension.
    static QString pageName(const QString& folder, const QString& prefix, int number,
                            const QString& extension);
    /// The hidden name a page is written under in folder until it is whole and
    /// takes its number: ".img0001.tif.part" for img0001.tif.
    static QString temporaryPageName(const QString& folder, const QString& prefix, int number);
    /// True when the number is used by a page or by the PDF made from one.
    static bool numberTaken(const QString& folder, const QString& prefix, int number);

    /// Brings a page's new name in folder to the disk; a failure is only logged,
    /// as the page is whole under its name already and only a power cut could
    /// still take the name.
    static void syncFolder(const QString& folder);

    /// libtiff's message for the current thread's last error (set by the handler).
    void noteTiffError(const QString& message);

private:
    bool fail(const QString& message);
    QString writeFailure(int error) const;
    bool flushStrip();
    bool moveIntoPlace();

    QString m_folder;
    QString m_prefix;
    Kind m_kind = Kind::Gray;
    int m_width = 0;
    int m_rows = 0;
    int m_stripRows = 0;
    uint32_t m_strip = 0;
    qsizetype m_rowBytes = 0;
    QByteArray m_stripData;
    int m_number = 0;
    int m_firstNumber = 1;
    QString m_tempPath;
    QString m_finalPath;
    QString m_error;
    QString m_tiffError;
    TIFF* m_tiff = nullptr;
    int m_fd = -1;
};
