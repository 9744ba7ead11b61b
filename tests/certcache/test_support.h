// Helpers of the certificate-cache tests: files, helper programs, the
// current user's certificate stores and the test certificates.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

typedef std::vector<BYTE> Bytes;

// The committed test data (tests/data), read into memory.
Bytes TestData(const char* name);
std::string TestDataPath(const char* name);

// Files and folders, by ANSI path (or "\\?\" paths for the wide variants).
bool WriteBytes(const std::string& path, const Bytes& bytes);
bool ReadBytes(const std::string& path, Bytes* bytes);
bool WriteBytesLongPath(const std::wstring& path, const Bytes& bytes);
bool ExistsLongPath(const std::wstring& path);
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);

// Folder holding the test programs and helpers.
std::string ProgramFolder();

// Runs a helper program of the program folder with the arguments and
// returns what it wrote to standard output; false if it did not start or
// exited non-zero.
bool RunHelper(const std::string& program, const std::string& arguments, std::string* output);

// Value of "name=" in helper output, or "" if absent.
std::string Field(const std::string& output, const std::string& name);

// Certificates in a current-user system store, as a second process sees them.
struct StoreCount {
    int total = -1;  // all certificates of the store
    int match = -1;  // same issuer and serial number as the probe certificate
    int exact = -1;  // same encoding
};
StoreCount ProbeStore(const char* store, const char* dataName);

// In this process: adds an encoded certificate to a current-user system
// store, or removes every certificate with its issuer and serial number.
bool AddToStore(const wchar_t* store, const Bytes& encoded);
bool RemoveFromStore(const wchar_t* store, const Bytes& encoded);

// Removes every test certificate from "MY" and "addressbook".
void RemoveTestCertificates();
