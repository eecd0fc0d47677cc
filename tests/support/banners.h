// The banners that open and close each program's run in the install log.
#pragma once

#include <string>

namespace banner {

const std::string updateStart =
    "***************************自动升级程序---解压---开始*******************************";
const std::string updateEnd =
    "***************************自动升级程序---解压---结束*******************************";
const std::string reseatStart =
    "***************************自动升级程序---更新---开始*******************************";
const std::string reseatEnd =
    "***************************自动升级程序---更新---结束*******************************";
const std::string reseatSuccess =
    "***************************自动升级程序---更新---成功*******************************";
const std::string uninstallStart =
    "***************************Orvane卸载程序---卸载---开始*******************************";
const std::string uninstallEnd =
    "***************************Orvane卸载程序---卸载---结束*******************************";
const std::string windowExit =
    "***************************Orvane安装程序---安装---退出*******************************";

} // namespace banner
