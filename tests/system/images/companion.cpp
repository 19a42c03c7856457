// A kernel image that another image imports: its global counts the loads it has seen.
static int g_Loads;

extern "C" int CompanionLoad() {
    return ++g_Loads;
}
