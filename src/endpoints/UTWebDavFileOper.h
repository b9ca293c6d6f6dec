#pragma once
// The WebDAV endpoint (DeviceType dtWebDav): a folder on a WebDAV server, named by
// an "http://" or "https://" URL in FolerAllName and reached with UserName and
// PWD. Over https the server's certificate must hold (Http.h); over http the
// Basic log-on crosses the network readable.
//
// URLs inside the program are plain text: names stand in them as they are
// (blanks, "%", "#", "?", any UTF-8), and every request percent-encodes its path
// on the way out, so any name the server can hold round-trips. Relative paths of
// entries are "/" for the root's items and "/sub", "/sub/deeper" further down.
//
// The scan lists the server breadth-first with one PROPFIND (Depth 1) per folder.
// Files move with GET and PUT: a download goes to a part file beside its local
// target and takes the final name only when complete; an upload goes to a
// temporary name on the server and is moved over the final name once the server
// has stored every byte. Folders are made with MKCOL; previous versions are kept
// by a server-side COPY into "__Tandemora__/__saved__".

#include "endpoints/UTFileOper.h"
#include "endpoints/webdavxml.h"
#include "model/UTUtils.h"
#include "platform/Http.h"

#include <cstdint>
#include <deque>
#include <string>

namespace tandemora {

class TWebDavFileOper : public TFileOper {
public:
    explicit TWebDavFileOper(bool FreeOnTerminate);
    ~TWebDavFileOper() override;

    // Set when a server's certificate could not be verified: what the user is
    // told (the request gave 2, as one that found no server).
    std::string CertificateError;
    // URL of the saved-versions folder once GetSavedFolder has made it; empty before.
    std::string SavedFolder;
    // The folders of the next scan level: folder URL and its node.
    TStringObjectList NextLevel;
    // The entries of the PROPFIND replies since it was last emptied, in reply order,
    // except that a folder's own entry comes first among those of its reply. The
    // entry of the requested resource itself has the request URL as RelPath; every
    // other entry has request URL + "/" + name. The endpoint owns the entries.
    ::tandemora::FileList FileList;
    // A PROPFIND reply longer than this is no listing (it is read into memory
    // whole); the folder is left unread.
    int64_t MaxListingBytes = http::MaxReplyInMemory;

    int Connect() override;
    int ScanTree() override;
    int ReadToStream(TFolderSource* Source, TFileAttri* Attr, std::stringstream& Stream) override;
    int WriteFromStream(std::istream& Stream, TFolderSource* Source, TFileAttri* Attr,
                        bool ClearReadOnly) override;
    int MakeFolder(const std::string& RelPath) override;
    int GetTopFolderCount() override;
    int LoadSnapshot() override;
    int DeleteFile(TFolderSource* Source, TFileAttri* Attr) override;
    int RemoveFolder(TFolderSource* Source, TFileAttri* Attr) override;
    int GetSavedFolder(std::string& Path) override;
    int64_t GetFileSize(const std::string& Path) override;
    int SaveOldFile(TFolderSource* Source, TFileAttri* Attr) override;
    int ExtractFolderPath(const std::string& Path, std::string& Folder) override;
    int BuildFullPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) override;
    int BuildFolderPath(TFolderSource* Source, TFileAttri* Attr, std::string& Path) override;
    int PutFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int Reserved) override;
    int RenameFile(const std::string& OldPath, const std::string& NewPath) override;
    int GetFile(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr, int Reserved) override;
    int IsRootMissing() override;

    // ---- Requests. Results: 0 done; 1 not found (404); 2 no exchange with the
    // server; -1 any other failure. PROPFIND gives a 4xx status other than 404
    // as itself. ----

    // PROPFIND of Url; on a readable multistatus sets ServerInfo and appends the
    // entries to FileList. A reply that is not a whole, valid multistatus fails (-1).
    int Propfind(const std::string& Url, const std::string& User, const std::string& Password,
                 const std::string& Depth);
    // PROPFIND (Depth 1) with the endpoint's credentials.
    int PropfindEntry(const std::string& Url);
    // 0 when the server has the entry (URL built from the endpoint's own root).
    int RemoteExists(TFileAttri* Attr);
    // Server-side COPY, replacing an older copy at DestUrl.
    int CopyResource(const std::string& SourceUrl, const std::string& DestUrl);
    // One MKCOL: 0 created; 1 refused as existing (405); 2 no exchange; -1 otherwise.
    int MakeCollection(const std::string& Url, const std::string& User, const std::string& Password);
    // Host is "host[:port]" (reached over http) or "scheme://host[:port]".
    // GET of RemotePath (a plain server path) from Host into LocalPath, through a
    // part file that replaces LocalPath only when the whole body came with status
    // 200 and, when ExpectedSize is not negative, is exactly that long.
    int HttpGetToFile(const std::string& LocalPath, const std::string& Host, const std::string& RemotePath,
                      const std::string& User, const std::string& Password, int64_t ExpectedSize = -1);
    // PUT of the whole local file to RemotePath on Host. 0 only when every byte
    // was sent and the server answered 2xx; -1 when LocalPath is missing.
    int HttpPutFromFile(const std::string& LocalPath, const std::string& Host, const std::string& RemotePath,
                        const std::string& User, const std::string& Password);

    // ---- Parsing -------------------------------------------------------------

    // Reads a multistatus reply to a PROPFIND of Url and appends one entry per
    // response to FileList. All or nothing: a text that is not a well-formed
    // multistatus in "DAV:", or any response that cannot be read whole (an error
    // status, a file without length or date, a value that does not convert),
    // appends nothing and gives false.
    bool ParseMultistatus(const std::string& Text, const std::string& Url);
    // The RFC 1123 date "Sun, 06 Nov 1994 08:49:37 GMT" as local date-time (the
    // machine's time zone, with the offset in force at that instant). Raises
    // EConvertError on anything else.
    static TDateTime ParseHttpDate(const std::string& Text);
    // The same date as the instant it names (seconds since 1970 UTC).
    static time_t ParseHttpInstant(const std::string& Text);

    // ---- Scan ----------------------------------------------------------------

    void ScanLevel(const TStringObjectList& Pending);

    // ---- URLs ----------------------------------------------------------------

    // "host" or "host:port" of an "http://host[:port]/path" URL.
    static std::string ExtractHost(const std::string& Url);
    // The path of the endpoint's root URL without its leading "/" ("dav/sub").
    std::string ServerPath() const;
    std::string UrlPath() const;
    // The first segment of that path ("dav").
    std::string FirstPathSegment() const;
    // The path form that goes on the wire: UTF-8 bytes kept where they are letters,
    // digits or one of ! $ ' ( ) * - . @ _ /, everything else "%" and two upper-case
    // hex digits (a blank is "%20", a "+" "%2B").
    static std::string EncodePath(const std::string& Path);
    // A plain URL as it goes on the wire: scheme and host kept, path encoded.
    static std::string EncodeUrl(const std::string& Url);
    // Undoes the percent-encoding of a path ("%20" back to a blank).
    static std::string DecodePath(const std::string& Path);

private:
    bool ReadResponse(const TXMLResponseType& Response, const std::string& Requested, TFileAttri& Entry,
                      bool& Self);
    std::string RootUrl() const;
    std::string RelativeOf(const std::string& FolderUrl) const;
    static std::string ServerUrl(const std::string& Host);
    // http::Send, noting a certificate that could not be verified, and any
    // failure (no reply, an error status, a reply cut short) as LastErrorText.
    void Send(const http::TRequest& Request, http::TReply& Reply);
    http::TRequest NewRequest(const std::string& Method, const std::string& Url, const std::string& User,
                              const std::string& Password);
    // Depth, when given, goes with the request ("0": a DELETE of a file only).
    int SendSimple(const std::string& Method, const std::string& Url, const std::string& User,
                   const std::string& Password, const std::string& Destination,
                   const std::string& Depth = std::string());
    int Upload(const std::string& LocalPath, TFolderSource* Source, TFileAttri* Attr);
    // Before the first upload into a folder: removes the part files an earlier
    // run of this task left there.
    void RemoveStaleParts(TFolderSource* Source, const std::string& FolderUrl);
    void ClearFileList();
    void FolderUnread(TFileTree* Node, const std::string& Url, int Result);

    std::deque<TFileAttri> entries_; // what FileList points into
};

} // namespace tandemora
