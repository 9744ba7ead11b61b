// Real symbolic links to folders. Wine 8's CreateSymbolicLinkA reports
// success and makes nothing; a link made on the Unix side shows as a
// reparse point (0x410). True once the link is there, or gone.
#pragma once

#include <string>

bool MakeFolderLink(const std::string& link, const std::string& target);
bool RemoveFolderLink(const std::string& link);
