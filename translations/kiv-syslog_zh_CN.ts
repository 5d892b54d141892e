<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>CleanerWindow</name>
    <message>
        <source>Clean logs</source>
        <translation>清理日志</translation>
    </message>
    <message>
        <source>15 days ago</source>
        <translation>十五天前</translation>
    </message>
    <message>
        <source>30 days ago</source>
        <translation>三十天前</translation>
    </message>
    <message>
        <source>90 days ago</source>
        <translation>九十天前</translation>
    </message>
    <message>
        <source>all</source>
        <translation>全选</translation>
    </message>
    <message>
        <source>delete</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>Could not read the list of logs:
%1</source>
        <translation>读取日志列表失败：
%1</translation>
    </message>
    <message>
        <source>The logs of these days could not be deleted:
%1</source>
        <translation>以下日期的日志未能删除：
%1</translation>
    </message>
</context>
<context>
    <name>CommandLine</name>
    <message>
        <source>The directory %1 does not exist</source>
        <translation>目录 %1 不存在</translation>
    </message>
    <message>
        <source>%1 is not a directory</source>
        <translation>%1 不是目录</translation>
    </message>
    <message>
        <source>The directory %1 is not writable</source>
        <translation>目录 %1 不可写</translation>
    </message>
</context>
<context>
    <name>FieldsModel</name>
    <message>
        <source>Time</source>
        <translation>时间</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>IP地址</translation>
    </message>
    <message>
        <source>Severity</source>
        <translation>严重性</translation>
    </message>
    <message>
        <source>Facility</source>
        <translation>设施</translation>
    </message>
    <message>
        <source>Host</source>
        <translation>主机</translation>
    </message>
    <message>
        <source>Program</source>
        <translation>程序</translation>
    </message>
    <message>
        <source>Message</source>
        <translation>信息</translation>
    </message>
</context>
<context>
    <name>FieldsView</name>
    <message>
        <source>Fields view</source>
        <translation>字段视图</translation>
    </message>
</context>
<context>
    <name>FilteredMessagesWindow</name>
    <message>
        <source>Severity: %1 %2</source>
        <translation>严重性：%1 %2</translation>
    </message>
</context>
<context>
    <name>ListExport</name>
    <message>
        <source>Export to CSV file</source>
        <translation>导出为 CSV 文件</translation>
    </message>
    <message>
        <source>CSV files (*.csv)</source>
        <translation>CSV 文件 (*.csv)</translation>
    </message>
    <message>
        <source>Could not write %1:
%2</source>
        <translation>无法写入文件 %1：
%2</translation>
    </message>
    <message>
        <source>Export…</source>
        <translation>导出…</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>KIV Syslog Server</source>
        <translation>凯维</translation>
    </message>
    <message>
        <source>Cleaner</source>
        <translation>清理</translation>
    </message>
    <message>
        <source>Search</source>
        <translation>搜索</translation>
    </message>
    <message>
        <source>Total record days</source>
        <translation>总记录0天</translation>
    </message>
    <message>
        <source>Filtering information: 0 invalid information has been filtered</source>
        <translation>过滤信息:已过滤无效信息0条</translation>
    </message>
    <message>
        <source>Developer blog</source>
        <translation>开发者博客</translation>
    </message>
    <message>
        <source>Cannot open or create the log database %1: %2
The program will close.</source>
        <translation>无法打开或创建日志数据库 %1：%2
程序将退出。</translation>
    </message>
    <message>
        <source>log %1 days</source>
        <translation>总记录%1天</translation>
    </message>
    <message>
        <source>The service is not reachable; nothing was changed. The window attaches again as soon as the service is back.</source>
        <translation>无法连接服务，操作未执行。服务恢复后窗口会自动重新连接。</translation>
    </message>
    <message>
        <source>The service does not answer; nothing was changed. Try again once it answers.</source>
        <translation>服务没有响应，操作未执行。请在服务恢复响应后重试。</translation>
    </message>
    <message>
        <source>no service answers on %1</source>
        <translation>%1 上没有服务回应</translation>
    </message>
    <message>
        <source>%1 — attached to the service in %2</source>
        <translation>%1 — 已连接到 %2 的服务</translation>
    </message>
    <message>
        <source>Attached to the service in %1: closing this window leaves it receiving.</source>
        <translation>已连接到 %1 的服务：关闭本窗口后服务继续接收。</translation>
    </message>
    <message>
        <source>Rules…</source>
        <translation>规则…</translation>
    </message>
    <message>
        <source>No system tray is available: notifications of rules are not shown.</source>
        <translation>没有可用的系统托盘：规则的通知无法显示。</translation>
    </message>
</context>
<context>
    <name>ReceiverCore</name>
    <message>
        <source>The log database %1 is damaged: %2
Records are still stored in it, but some stored ones may not be readable. Copy the file away and recover it (sqlite3&apos;s .recover).</source>
        <translation>日志数据库 %1 已损坏：%2
记录仍会存入其中，但部分已存的记录可能无法读出。请把该文件复制出来再恢复（用 sqlite3 的 .recover）。</translation>
    </message>
    <message>
        <source>The rules file %1 has faults; what they name is left out, the other rules work:
%2</source>
        <translation>规则文件 %1 有错误；出错的规则被略过，其余规则照常工作：
%2</translation>
    </message>
</context>
<context>
    <name>RulesWindow</name>
    <message>
        <source>Rules</source>
        <translation>规则</translation>
    </message>
    <message>
        <source>On</source>
        <translation>启用</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>名称</translation>
    </message>
    <message>
        <source>Matched</source>
        <translation>匹配</translation>
    </message>
    <message>
        <source>Fired</source>
        <translation>触发</translation>
    </message>
    <message>
        <source>Held back</source>
        <translation>冷却中</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>添加</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>保存</translation>
    </message>
    <message>
        <source>Reload</source>
        <translation>重新读取</translation>
    </message>
    <message>
        <source>Test a message</source>
        <translation>测试消息</translation>
    </message>
    <message>
        <source>Paste a syslog line, e.g. &lt;11&gt;Dec  8 02:00:00 sw1 kernel: link down</source>
        <translation>粘贴一行 syslog 消息，例如 &lt;11&gt;Dec  8 02:00:00 sw1 kernel: link down</translation>
    </message>
    <message>
        <source>Message</source>
        <translation>消息</translation>
    </message>
    <message>
        <source>Sender address</source>
        <translation>发送方地址</translation>
    </message>
    <message>
        <source>Test</source>
        <translation>测试</translation>
    </message>
    <message>
        <source>Rule</source>
        <translation>规则</translation>
    </message>
    <message>
        <source>Enabled</source>
        <translation>启用</translation>
    </message>
    <message>
        <source> s</source>
        <translation> 秒</translation>
    </message>
    <message>
        <source>Cooldown</source>
        <translation>冷却时间</translation>
    </message>
    <message>
        <source>any</source>
        <translation>不限</translation>
    </message>
    <message>
        <source>Severity at most</source>
        <translation>严重性至少达到</translation>
    </message>
    <message>
        <source>Facility</source>
        <translation>设施</translation>
    </message>
    <message>
        <source>10.0.0.5 or 10.0.0.0/8</source>
        <translation>10.0.0.5 或 10.0.0.0/8</translation>
    </message>
    <message>
        <source>Host</source>
        <translation>主机</translation>
    </message>
    <message>
        <source>Program</source>
        <translation>程序</translation>
    </message>
    <message>
        <source>Case-sensitive</source>
        <translation>区分大小写</translation>
    </message>
    <message>
        <source>Contains</source>
        <translation>包含文字</translation>
    </message>
    <message>
        <source>Regular expression</source>
        <translation>正则表达式</translation>
    </message>
    <message>
        <source>Desktop notification</source>
        <translation>桌面通知</translation>
    </message>
    <message>
        <source>Actions</source>
        <translation>动作</translation>
    </message>
    <message>
        <source>Run program</source>
        <translation>运行程序</translation>
    </message>
    <message>
        <source>Arguments</source>
        <translation>参数</translation>
    </message>
    <message>
        <source>Time limit</source>
        <translation>时限</translation>
    </message>
    <message>
        <source>Mail to</source>
        <translation>发邮件给</translation>
    </message>
    <message>
        <source>Forward to</source>
        <translation>转发到</translation>
    </message>
    <message>
        <source>Choose…</source>
        <translation>选择…</translation>
    </message>
    <message>
        <source>Line colour</source>
        <translation>行颜色</translation>
    </message>
    <message>
        <source>Apply</source>
        <translation>应用</translation>
    </message>
    <message>
        <source>The receiver could not read: %1</source>
        <translation>接收端无法读取：%1</translation>
    </message>
    <message>
        <source>Actions dropped: %1, failed: %2; notifications dropped: %3</source>
        <translation>丢弃的动作：%1，失败：%2；丢弃的通知：%3</translation>
    </message>
    <message>
        <source>Choose a rule or add one first.</source>
        <translation>请先选择或添加一条规则。</translation>
    </message>
    <message>
        <source>Another rule is named &quot;%1&quot;.</source>
        <translation>已有另一条规则名为“%1”。</translation>
    </message>
    <message>
        <source>new rule</source>
        <translation>新规则</translation>
    </message>
    <message>
        <source>new rule %1</source>
        <translation>新规则 %1</translation>
    </message>
    <message>
        <source>Could not write %1: %2</source>
        <translation>无法写入 %1：%2</translation>
    </message>
    <message>
        <source>Saved to %1.</source>
        <translation>已保存到 %1。</translation>
    </message>
    <message>
        <source>%1: matches</source>
        <translation>%1：匹配</translation>
    </message>
    <message>
        <source>%1: does not match</source>
        <translation>%1：不匹配</translation>
    </message>
    <message>
        <source>There are no rules.</source>
        <translation>没有规则。</translation>
    </message>
    <message>
        <source>Messages not tested by the rules (too many waiting): %1</source>
        <translation>规则未检查的消息（等待的过多）：%1</translation>
    </message>
</context>
<context>
    <name>SearchWindow</name>
    <message>
        <source>Search logs</source>
        <translation>搜索日志</translation>
    </message>
    <message>
        <source>Date</source>
        <translation>时间范围</translation>
    </message>
    <message>
        <source>Keyword</source>
        <translation>内容关键字</translation>
    </message>
    <message>
        <source>Search</source>
        <translation>给我搜</translation>
    </message>
    <message>
        <source>IP</source>
        <translation>查询IP</translation>
    </message>
    <message>
        <source>all</source>
        <translation>全部</translation>
    </message>
    <message>
        <source>Could not read the list of log days: %1</source>
        <translation>读取日志日期列表时发生错误：%1</translation>
    </message>
    <message>
        <source>Keyword and IP both null not allow!</source>
        <translation>搜索关键字和查询IP不能同时为空</translation>
    </message>
    <message>
        <source>Search logs error: %1</source>
        <translation>搜索日志时发生错误：%1</translation>
    </message>
    <message>
        <source>Searching, days left: %1</source>
        <translation>正在搜索，剩余天数：%1</translation>
    </message>
    <message>
        <source>any</source>
        <translation>不限</translation>
    </message>
    <message>
        <source>Severity at most</source>
        <translation>严重性不低于</translation>
    </message>
    <message>
        <source>Facility</source>
        <translation>设施</translation>
    </message>
    <message>
        <source>Host</source>
        <translation>主机</translation>
    </message>
    <message>
        <source>Program</source>
        <translation>程序</translation>
    </message>
    <message>
        <source>From</source>
        <translation>从</translation>
    </message>
    <message>
        <source>To</source>
        <translation>到</translation>
    </message>
    <message>
        <source>More criteria</source>
        <translation>更多条件</translation>
    </message>
    <message>
        <source>The facility is a number of 0 to 23.</source>
        <translation>设施是0到23之间的数字。</translation>
    </message>
    <message>
        <source>From and to are written yyyy-MM-dd, yyyy-MM-dd HH:mm or yyyy-MM-dd HH:mm:ss.</source>
        <translation>起止时间的格式为 yyyy-MM-dd、yyyy-MM-dd HH:mm 或 yyyy-MM-dd HH:mm:ss。</translation>
    </message>
</context>
<context>
    <name>Severity</name>
    <message>
        <source>emergency</source>
        <translation>紧急</translation>
    </message>
    <message>
        <source>alert</source>
        <translation>警报</translation>
    </message>
    <message>
        <source>critical</source>
        <translation>严重</translation>
    </message>
    <message>
        <source>error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>notice</source>
        <translation>通知</translation>
    </message>
    <message>
        <source>informational</source>
        <translation>信息</translation>
    </message>
    <message>
        <source>debug</source>
        <translation>调试</translation>
    </message>
</context>
<context>
    <name>StatusCaption</name>
    <message numerus="yes">
        <source>Filtering info: %n Filter is disabled </source>
        <translation>
            <numerusform>过滤信息:消息过滤功能已关闭</numerusform>
        </translation>
    </message>
    <message>
        <source>Filtering info: %1 invalid info has been filtered. Recv rate %2 per sec</source>
        <translation>过滤信息:已过滤无效信息%1条,接收速率%2条/秒</translation>
    </message>
    <message>
        <source>Filtering info: service disconnected, reconnecting…</source>
        <translation>过滤信息:服务已断开，正在重新连接…</translation>
    </message>
    <message>
        <source>Lost since start:
%1 datagrams dropped by the system (receive buffer full)
%2 datagrams dropped (too many waiting to be handled)
%3 records stored neither in the database nor in the recovery file
%4 messages not kept for their length (shorter than 3 or longer than 65534 characters after the first blank)</source>
        <translation>启动以来丢失：
系统丢弃的数据包（接收缓冲区已满）%1个
丢弃的数据包（等待处理的过多）%2个
既未存入数据库也未写入恢复文件的记录%3条
因长度未保存的消息（去掉第一个空格及之前的内容后短于3个或长于65534个字符）%4条</translation>
    </message>
    <message>
        <source>Syslog over TCP is not received: the TCP port cannot be bound (%1)</source>
        <translation>未接收TCP日志：TCP端口无法绑定（%1）</translation>
    </message>
    <message>
        <source>Forwarding missed messages:</source>
        <translation>转发遗漏的消息：</translation>
    </message>
    <message>
        <source>Syslog over TCP:</source>
        <translation>TCP日志：</translation>
    </message>
    <message>
        <source>Filtering info: the service does not answer</source>
        <translation>过滤信息:服务没有响应</translation>
    </message>
    <message>
        <source>Filtering info: not listening, no port is bound</source>
        <translation>过滤信息:未在监听，没有绑定端口</translation>
    </message>
    <message>
        <source>Not listening: UDP port %1 is not bound</source>
        <translation>未在监听：UDP %1端口未绑定</translation>
    </message>
    <message>
        <source>severity %1 (%2) or more urgent</source>
        <translation>严重性%1（%2）及更紧急</translation>
    </message>
    <message>
        <source>Filters on: the words info, error and warning; %1</source>
        <translation>已启用的过滤：关键词info、error和warning；%1</translation>
    </message>
    <message>
        <source>Filters on: %1</source>
        <translation>已启用的过滤：%1</translation>
    </message>
    <message>
        <source>Syslog over TLS:</source>
        <translation>TLS日志：</translation>
    </message>
</context>
</TS>
