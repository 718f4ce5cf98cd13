// A loadable module with no plug-in factory, for the broken-bundle cases.

extern "C" int NoFactoryHere()
{
    return 0;
}
