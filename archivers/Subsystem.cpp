// Keeps the library non-empty until its first component lands.
namespace norvex::archivers {
int subsystemAnchor()
{
    return 0;
}
} // namespace norvex::archivers
