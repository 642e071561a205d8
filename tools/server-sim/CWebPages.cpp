#include "CWebPages.h"

#include <cstdio>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      plain += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      plain += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

std::string HtmlEscape(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

// Only a plain web address may become the login page's link.
bool IsWebAddress(const std::string& text) {
  if (text.rfind("http://", 0) != 0 && text.rfind("https://", 0) != 0) return false;
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\') return false;
  }
  return true;
}

std::string Response(const char* pStatus, const std::string& body) {
  return std::string("HTTP/1.1 ") + pStatus +
         "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
         "Connection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A page filling the window in one colour, with one big link in its middle.
std::string Page(const char* pTitle, const char* pColor, const std::string& link) {
  return std::string("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>") + pTitle +
         "</title><style>html,body{margin:0;height:100%;background:" + pColor +
         ";font:18px sans-serif;color:#fff}h1{margin:0;padding:24px;font-size:22px}"
         "a{position:absolute;left:50%;top:50%;width:160px;height:48px;margin:-24px 0 0 -80px;"
         "line-height:48px;text-align:center;background:#fff;color:" +
         pColor + ";text-decoration:none;border-radius:6px}</style></head><body><h1>" + pTitle +
         "</h1>" + link + "</body></html>";
}

}  // namespace

std::string CWebPages::QueryValue(const std::string& query, const std::string& key) {
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    const size_t equals = pair.find('=');
    if (equals != std::string::npos && pair.substr(0, equals) == key) {
      return Unescape(pair.substr(equals + 1));
    }
    start = end + 1;
  }
  return std::string();
}

CWebPages::Answer CWebPages::Respond(const std::string& requestHead,
                                     const std::map<std::string, std::string>& extraPages) {
  Answer answer;
  const size_t lineEnd = requestHead.find("\r\n");
  const std::string line = requestHead.substr(0, lineEnd);
  const size_t space = line.find(' ');
  const size_t secondSpace = space == std::string::npos ? space : line.find(' ', space + 1);
  if (line.rfind("GET ", 0) != 0 || secondSpace == std::string::npos) {
    answer.event = "web-bad-request";
    answer.response = Response("400 Bad Request", "");
    return answer;
  }
  const std::string target = line.substr(space + 1, secondSpace - space - 1);
  const size_t question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string query = question == std::string::npos ? "" : target.substr(question + 1);

  if (auto extra = extraPages.find(path); extra != extraPages.end()) {
    answer.event = "web-extra";
    answer.detail = "path=" + path;
    answer.response = extra->second;
  } else if (path == "/cgi-bin/login") {
    const std::string appId = QueryValue(query, "appid");
    const std::string next = QueryValue(query, "s_url");
    answer.event = "web-login";
    answer.detail = "appid=" + appId + " s_url=" + next;
    const std::string link =
        IsWebAddress(next) ? "<a id=\"login\" href=\"" + HtmlEscape(next) + "\">登录</a>" : "";
    answer.response = Response("200 OK", Page("Lumidock 登录", "#2d8cf0", link));
  } else if (path == "/tidepool/download.html" || path == "/tidepool-download.html") {
    answer.event = "web-page";
    answer.detail = "path=" + path;
    answer.response = Response(
        "200 OK",
        Page("下载手机客户端", "#2bb673",
             "<a id=\"done\" href=\"#\" onclick=\"window.close();return false;\">完成</a>"));
  } else {
    answer.event = "web-not-found";
    answer.detail = "path=" + path;
    answer.response = Response("404 Not Found", "");
  }
  return answer;
}
