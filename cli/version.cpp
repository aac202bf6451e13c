// The version, where `strings` and `what` find it in the binary. The tool's options stay
// as they are; nothing refers to it.
[[gnu::used]] static const char version_mark[] = "@(#)m4afix " M4AFIX_VERSION;
