// One PC/SC context with reader listing and a reader probe.
#ifndef VD_PCSCREAD_PCSCSESSION_INTERNAL_H
#define VD_PCSCREAD_PCSCSESSION_INTERNAL_H

#include <cstddef>

#include <winscard.h>

// The listing buffer used for reader lists; a longer list is an error.
constexpr DWORD PCSC_SESSION_LIST_SIZE = 1024;

class PCSC_SESSION {
public:
    PCSC_SESSION();
    explicit PCSC_SESSION(unsigned long scope);
    PCSC_SESSION(const PCSC_SESSION&) = delete;
    PCSC_SESSION& operator=(const PCSC_SESSION&) = delete;

    LONG EstablishContext(unsigned long scope);
    // The owner releases the context before deleting the session.
    void ReleaseContext();
    LONG ReestablishContext(unsigned long scope);

    SCARDCONTEXT GetContext() const { return hContext; }
    LONG GetLastError() const { return lastError; }
    unsigned short IsContextValid() const { return contextValid; }

    LONG ListReaders(const char* groups, char* buffer, DWORD* size);
    LONG FindAllReaders(char* buffer, DWORD* size);
    // Copies the index-th listed name (from 0) into nameOut, cut to fit
    // nameSize bytes with its terminating zero. 1 found, 0 not (the PC/SC
    // result stays in lastError).
    int GetReaderName(char* nameOut, size_t nameSize, unsigned long index);
    // 1 when name is listed, else 0.
    int ReaderExists(const char* name);
    // Probes the reader with a direct connection (and a shared one when the
    // direct one is refused as an invalid value). The attribute outputs are
    // not written; callers preset them.
    LONG GetReaderAttribs(const char* readerName, unsigned short* attribA, unsigned short* attribB,
                          void* attribData);

private:
    unsigned long scope = SCARD_SCOPE_USER;
    SCARDCONTEXT hContext = 0;
    LONG lastError = 0;
    unsigned short contextValid = 0;
};

#endif  // VD_PCSCREAD_PCSCSESSION_INTERNAL_H
