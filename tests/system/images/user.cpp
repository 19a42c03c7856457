// A kernel image that needs a companion image from its own directory.
extern "C" int CompanionLoad();

static int g_Loads;

// 100 per load of this image plus the companion's count: 101 when both start fresh.
extern "C" int UserLoad() {
    return ++g_Loads * 100 + CompanionLoad();
}
