// Keeps the library non-empty until its first component lands.
namespace norvex::shared {
int subsystemAnchor()
{
    return 0;
}
} // namespace norvex::shared
