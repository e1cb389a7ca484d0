function call_plugin_raw(plugin, out_file, dims, varargin)
  % Calls a plug-in on volumes exchanged through raw little-endian files, x fastest.
  % An argument 'raw:<class>:<file>' is read as a volume of extents dims and that class;
  % any other argument is passed as it is. The result is written to out_file in its class.
  args = varargin;
  for k = 1:numel(args)
    a = args{k};
    if ischar(a) && strncmp(a, 'raw:', 4)
      parts = strsplit(a, ':');
      fid = fopen(strjoin(parts(3:end), ':'), 'r', 'ieee-le');
      v = fread(fid, prod(dims), [parts{2} '=>' parts{2}]);
      fclose(fid);
      args{k} = reshape(v, dims);
    end
  end
  y = feval(plugin, args{:});
  fid = fopen(out_file, 'w', 'ieee-le');
  fwrite(fid, y, class(y));
  fclose(fid);
end
