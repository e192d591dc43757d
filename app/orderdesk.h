#pragma once

// Where finished orders go: the order desk's address and the mail server with the program's
// account. Settings keys may override the server and account (see sendSmtp).
namespace OrderDesk {
inline constexpr char address[] = "objednavky@vernholt.example";
inline constexpr char smtpHost[] = "smtp.vernholt.example";
inline constexpr int smtpPort = 465;
inline constexpr char smtpLogin[] = "brenmark-apl";
inline constexpr char smtpPassword[] = "Jt5QmZ8rKw3VxNb";
} // namespace OrderDesk
