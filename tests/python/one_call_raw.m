function one_call_raw(plugin, out_file, info_file, varargin)
  % Calls a one-call plug-in on arrays exchanged through raw little-endian files, x fastest.
  % An argument 'raw:<class>:<extents, x-separated>:<file>' is read as an array of that class
  % and shape; any other argument is passed as it is. The first result is written to out_file
  % as doubles; with a nonempty info_file the second result (the record) is written there as
  % JSON, each number as 'hex:' and its IEEE bits (jsonencode rounds some doubles).
  args = varargin;
  for k = 1:numel(args)
    a = args{k};
    if ischar(a) && strncmp(a, 'raw:', 4)
      parts = strsplit(a, ':');
      dims = str2double(strsplit(parts{3}, 'x'));
      fid = fopen(strjoin(parts(4:end), ':'), 'r', 'ieee-le');
      if strcmp(parts{2}, 'logical')  % one byte per element, 0 or 1
        v = logical(fread(fid, prod(dims), 'uint8=>uint8'));
      else
        v = fread(fid, prod(dims), [parts{2} '=>' parts{2}]);
      end
      fclose(fid);
      args{k} = reshape(v, dims);
    end
  end
  if isempty(info_file)
    y = feval(plugin, args{:});
  else
    [y, info] = feval(plugin, args{:});
    fid = fopen(info_file, 'w');
    fputs(fid, jsonencode(exact(info)));
    fclose(fid);
  end
  fid = fopen(out_file, 'w', 'ieee-le');
  fwrite(fid, y, 'double');
  fclose(fid);
end

function v = exact(v)
  if isstruct(v)
    for f = fieldnames(v)'
      for k = 1:numel(v)
        v(k).(f{1}) = exact(v(k).(f{1}));
      end
    end
  elseif isnumeric(v) && ~isempty(v)
    v = strcat('hex:', cellstr(num2hex(double(v(:)))))';
  end
end
