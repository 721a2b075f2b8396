/* A token-library stand-in with a "GetVersion" export whose text lives in
   the library itself, or returns a null text, or has no export at all. */
#if defined(VD_FIXTURE_VERSION_TEXT)
static const char version[] = VD_FIXTURE_VERSION_TEXT;
const char* GetVersion(void)
{
    return version;
}
#elif defined(VD_FIXTURE_NULL_VERSION)
const char* GetVersion(void)
{
    return 0;
}
#else
int NotAVersion(void)
{
    return 7;
}
#endif
