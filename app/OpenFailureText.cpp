#include "app/OpenFailureText.h"

#include "app/PortListModel.h"
#include "comm/SerialComm.h"

#include <cstring>

namespace movarth {

namespace {

// Where to pick the port instead of typing it: the arrow in the port field.
constexpr const char* kPickHint = "点端口栏右边的箭头（Alt+↓）可以从本机的串口中选择。";

std::string NoSuchDevice(const TOpenFailure& failure)
{
    std::string text =
        failure.devicePath.empty() ? "没有填写端口名。"
        : failure.nodeExists
            ? failure.devicePath + " 后面没有串口硬件：设备已被拔出，或者这个编号没有串口。"
            : "没有这个设备：" + failure.devicePath + "。";
    if (failure.present.empty())
        return text + "\n本机没有找到串口，请检查串口线或 USB 串口适配器是否插好。";
    text += "\n本机现有的串口：";
    for (const TSerialPort& port : failure.present)
        text += "\n" + port.name + "  " + PortDescriptionText(port).toStdString();
    return text + "\n" + kPickHint;
}

std::string InUse(const TOpenFailure& failure)
{
    std::string holders;
    for (const TPortHolder& holder : failure.holders) {
        if (!holders.empty()) holders += "、";
        const std::string pid = "进程号 " + std::to_string(holder.pid);
        holders += holder.program.empty() ? pid : holder.program + "（" + pid + "）";
    }
    if (holders.empty())
        return failure.devicePath + " 正被另一个程序占用。请先退出使用它的程序，再按“打开”。";
    return failure.devicePath + " 正被另一个程序占用：" + holders +
           "。请先退出这个程序，再按“打开”。";
}

std::string NotAllowed(const TOpenFailure& failure)
{
    const std::string& path = failure.devicePath;
    const std::string& user = failure.user;
    const std::string& group = failure.group;
    switch (failure.cause) {
    case acUnknown:
        break;
    case acNotInGroup:
        return path + " 只允许用户组 " + group + " 的成员使用，当前用户 " + user +
               " 不在这个组里。请管理员把 " + user + " 加入 " + group + " 组（sudo usermod -aG " +
               group + " " + user + "），然后注销并重新登录。";
    case acNotLoggedInAgain:
        return path + " 只允许用户组 " + group + " 的成员使用。当前用户 " + user + " 已经加入了 " +
               group + " 组，但要注销并重新登录后才生效。";
    case acModeRefuses:
        return path + " 的权限（" + ModeText(failure.mode) + "，属主 " + failure.owner +
               "，用户组 " + group + "）不允许当前用户 " + user + " 读写。请管理员修改它的权限。";
    }
    return "当前用户 " + user + " 无权访问 " + path + "：路径上有不允许进入的文件夹。";
}

std::string NotSerial(const TOpenFailure& failure)
{
    static const char* const kinds[] = {"普通文件", "文件夹", "管道",
                                        "套接字",   "块设备", "字符设备，但不是终端"};
    return failure.devicePath + " 不是串口设备，而是" + kinds[failure.fileKind] + "。" + kPickHint;
}

// Why the port did not open, in the window's words, with what the operator can do about it.
std::string OpenFailureText(const TOpenFailure& failure)
{
    switch (failure.kind) {
    case ofNoSuchDevice:
        return NoSuchDevice(failure);
    case ofInUse:
        return InUse(failure);
    case ofNotAllowed:
        return NotAllowed(failure);
    case ofNotSerial:
        return NotSerial(failure);
    case ofOther:
        break;
    }
    const std::string code = "错误码 " + std::to_string(failure.error);
    return "打开 " + failure.devicePath + " 时出错：" +
           (failure.error > 0 ? std::string(std::strerror(failure.error)) + "（" + code + "）"
                              : code) +
           "。";
}

} // namespace

std::string OpenFailureDetail(const std::string& name, const std::exception_ptr& failure,
                              const TOpenFailureSources& sources)
{
    try {
        std::rethrow_exception(failure);
    } catch (const ECommError& error) {
        return OpenFailureText(ExplainOpenFailure(name, error.ErrorCode(), sources));
    } catch (const std::exception& error) {
        return std::string("打开端口时出错：") + error.what();
    } catch (...) {
        return "打开端口时出错。";
    }
}

} // namespace movarth
