// Keeps the library non-empty until its first component lands.
namespace norvex::service {
int subsystemAnchor()
{
    return 0;
}
} // namespace norvex::service
