// Real links to folders. On Windows a symbolic link where the privilege is
// held, else a junction; removed with RemoveDirectory. Wine 8's
// CreateSymbolicLinkA reports success and makes nothing: under Wine a link
// made on the Unix side, which shows as a reparse point (0x410). True once
// the link is there, or gone.
#pragma once

#include <string>

bool MakeFolderLink(const std::string& link, const std::string& target);
// Whether this runs under Wine (ntdll exports wine_get_version).
bool UnderWine();
bool RemoveFolderLink(const std::string& link);
