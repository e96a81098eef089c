// Keeps the library non-empty until its first component lands.
namespace norvex::config {
int subsystemAnchor()
{
    return 0;
}
} // namespace norvex::config
