#pragma once

#include <QtGlobal>

#include <utility>
#include <vector>

namespace svd {

// Byte span of one file inside the torrent's concatenated payload.
struct FileSpan {
    qint64 offset = 0;
    qint64 size = 0;
};

struct PieceRange {
    int first = 0;
    int last = 0;
};

// Piece holding byte `position` of the file.
int pieceAt(const FileSpan &file, qint64 position, int pieceLength);
// First and last piece of the file (an empty file still occupies the piece at its offset).
PieceRange piecesOf(const FileSpan &file, int pieceLength);

// Head and tail pieces of the served files with their deadlines in ms, in the order they are
// inserted (head 0, tail 0, head 1, ... file by file); a piece reached twice keeps its first deadline.
std::vector<std::pair<int, int>> headTailPieces(const std::vector<PieceRange> &servedFiles, int pieceLength,
                                                qint64 headTailBytes);

// Read-ahead window length in pieces.
int windowPieces(qint64 readAheadBytes, int minWindowPieces, int pieceLength);

// Bytes the in-memory piece cache may hold for this piece length.
qint64 pieceCacheLimit(int pieceLength);

} // namespace svd
